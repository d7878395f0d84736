// What the browser tests share: a site in a temporary HOME served by a real
// zanthd on loopback, headless Chromium, a chat client of the test's own,
// and waits on the page's elements. Every wait is bounded.
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { closeSync, existsSync, mkdirSync, mkdtempSync, openSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

import { LinkReader, LinkWriter } from '../../../src/web/js/scramble.js';
import { FrameParser, frameMessage, typeText } from '../../../src/web/js/frame.js';
import * as msg from '../../../src/web/js/messages.js';

export const { ZANTHD, ZANTHC, ARTEFACTS } = process.env;
export const WAIT = 10000; // ms, for every single wait in a page
// The scheme the page is loaded over: the page talks over wss when it
// comes over https.
export const SCHEME = process.env.ZANTH_WEB_SCHEME ?? 'http';
const CHROMIUM_ARGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function freePort() {
  return new Promise((resolve, reject) => {
    const probe = net.createServer();
    probe.once('error', reject);
    probe.listen(0, '127.0.0.1', () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

// Over https: a test authority and the server's certificate (a full
// chain) made in home/certs, and the authority trusted by the browsers
// that run with this HOME, through NSS's user database as on a desktop.
function makeCertificates(home) {
  const certs = path.join(home, 'certs');
  mkdirSync(certs);
  const script = fileURLToPath(new URL('../../support/make_test_certs.sh', import.meta.url));
  execFileSync('bash', [script, certs], { stdio: 'ignore', timeout: 60000 });
  const nssdb = `sql:${path.join(home, '.pki', 'nssdb')}`;
  mkdirSync(path.join(home, '.pki', 'nssdb'), { recursive: true });
  execFileSync('certutil', ['-d', nssdb, '-N', '--empty-password'], { stdio: 'ignore', timeout: 30000 });
  execFileSync('certutil', ['-d', nssdb, '-A', '-t', 'C,,', '-n', 'Zanth Test Root', '-i', path.join(certs, 'ca.pem')],
    { stdio: 'ignore', timeout: 30000 });
  return certs;
}

// Writes zanth.conf with the site's rooms (room elements without the
// closing "/>"), and each media file of files (name -> text). Over https
// the media come from the HTTPS port too, as a browser would not load
// them over http from an https page.
function writeSite(home, site, rooms, files) {
  const data = path.join(home, 'Documents', 'My Zanth');
  const media = path.join(data, 'media');
  mkdirSync(media, { recursive: true });
  const https = site.certs
    ? ` httpsport="${site.httpsPort}"` : '';
  const tls = site.certs
    ? `  <tls cert="${site.certs}/server.pem" key="${site.certs}/server.key"/>\n` : '';
  writeFileSync(path.join(data, 'zanth.conf'), `<?xml version="1.0"?>
<zanthd>
  <sitename address="127.0.0.1" port="${site.chatPort}" httpport="${site.httpPort}"${https} hidden="yes">Browser Check</sitename>
  <baseurl src="${media}/">${SCHEME}://127.0.0.1:${site.certs ? site.httpsPort : site.httpPort}/</baseurl>
${tls}${rooms.map((r) => `  ${r}/>\n`).join('')}</zanthd>
`);
  for (const [name, text] of Object.entries(files)) writeFileSync(path.join(media, name), text);
  return data;
}

// Starts zanthd and waits for its listeners; the log says when.
async function startServer(home, data, output) {
  const log = path.join(data, 'zanth.log');
  const before = existsSync(log) ? readFileSync(log, 'latin1').length : 0;
  const env = { ...process.env, HOME: home };
  delete env.XDG_DOCUMENTS_DIR;
  const fd = openSync(output, 'a');
  const proc = spawn(ZANTHD, ['--headless'], { env, stdio: ['ignore', fd, fd] });
  closeSync(fd);
  for (let i = 0; i < 150; i++) {
    if (existsSync(log) && readFileSync(log, 'latin1').slice(before).includes('Listening socket established')) {
      return proc;
    }
    if (proc.exitCode !== null) break;
    await sleep(100);
  }
  proc.kill('SIGKILL');
  throw new Error(`zanthd did not start (exit ${proc.exitCode}):\n${existsSync(log) ? readFileSync(log, 'latin1') : 'no log'}\n` +
                  readFileSync(output, 'latin1'));
}

async function stopServer(proc) {
  if (proc.exitCode !== null) return;
  const exited = new Promise((r) => proc.once('exit', r));
  proc.kill('SIGTERM');
  await Promise.race([exited, sleep(10000)]);
  if (proc.exitCode === null) proc.kill('SIGKILL');
}

// A running site: its server, its data directory and a browser. t.after
// closes everything. The hidden site keeps the directory client quiet. The
// server's own output (a sanitizer's report, say) is kept with the
// screenshots as zanthd-NAME.out.
export async function openSite(t, name, rooms, files = {}) {
  assert.ok(ZANTHD && ZANTHC && ARTEFACTS, 'ZANTHD, ZANTHC and ARTEFACTS must be set');
  mkdirSync(ARTEFACTS, { recursive: true });
  const output = path.join(ARTEFACTS, `zanthd-${name}.out`);
  rmSync(output, { force: true });
  const home = mkdtempSync(path.join(os.tmpdir(), 'zanth-web-e2e-'));
  const site = { home, server: null, data: null, chatPort: 0, httpPort: 0, httpsPort: 0, browser: null, closers: [] };
  t.after(async () => {
    for (const close of site.closers) close();
    await site.browser?.close();
    if (site.server) await stopServer(site.server);
    rmSync(home, { recursive: true, force: true });
  });
  if (SCHEME === 'https') site.certs = makeCertificates(home);
  // A port picked as free may be taken before the server binds it; a few
  // fresh picks make that harmless.
  let failure;
  for (let attempt = 0; attempt < 3 && !site.server; attempt++) {
    site.chatPort = await freePort();
    do site.httpPort = await freePort(); while (site.httpPort === site.chatPort);
    do site.httpsPort = await freePort(); while (site.httpsPort === site.chatPort || site.httpsPort === site.httpPort);
    site.data = writeSite(home, site, rooms, files);
    site.server = await startServer(home, site.data, output).catch((e) => {
      failure = e;
      return null;
    });
  }
  if (!site.server) throw failure;
  site.browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: CHROMIUM_ARGS, timeout: 30000,
    env: { ...process.env, HOME: home } });
  site.url = `${SCHEME}://127.0.0.1:${site.certs ? site.httpsPort : site.httpPort}/web/index.html`;
  site.log = () => readFileSync(path.join(site.data, 'zanth.log'), 'latin1');
  if (site.certs) assert.match(site.log(), new RegExp(`Web client at ${site.url.replaceAll('.', '\\.')}`));
  site.stop = async () => {
    await stopServer(site.server);
  };
  site.restart = async () => {
    site.server = await startServer(home, site.data, output);
  };
  return site;
}

export const DESKTOP = { viewport: { width: 1280, height: 800 } };
export const PHONE = { viewport: { width: 360, height: 740 }, isMobile: true, hasTouch: true };

// A browser of its own (its own stored identity) with a nickname; page
// errors are collected in errors.
export async function newVisitor(site, options, nickname, errors) {
  const context = await site.browser.newContext(options);
  if (nickname) await context.addInitScript((n) => localStorage.setItem('zanth.nickname', n), nickname);
  const page = await context.newPage();
  page.on('pageerror', (e) => errors.push(String(e)));
  return { context, page };
}

export const logLine = (page, text, kind = '') =>
  page.locator(`#log li${kind ? `.${kind}` : ''}`, { hasText: text }).first();
// Log lines are looked for whichever panel is open.
export const inLog = (page, text, kind = '') => logLine(page, text, kind).waitFor({ state: 'attached', timeout: WAIT });
export const avatar = (page, name) => page.locator(`#avatars .avatar[data-name="${name}"]`);
export const online = (page) => page.locator('#status[data-state="online"]').waitFor({ timeout: WAIT });

export async function say(page, text) {
  await page.fill('#talk-input', text);
  await page.press('#talk-input', 'Enter');
}

export async function openPanel(page, name) {
  await page.click(`.tabs [data-panel="${name}"]`);
}

// Picks a room from the room list and waits until the page is in it.
export async function goToRoom(page, name, id) {
  await openPanel(page, 'rooms');
  await page.locator('#rooms button', { hasText: name }).click({ timeout: WAIT });
  await page.locator(`#room[data-room-id="${id}"]`).waitFor({ timeout: WAIT });
}

// A visitor on the chat port itself, from an address of its own (the
// server checks no ban for 127.0.0.1) with a fixed identity. signedOn
// resolves with the user id, or with null when the server refuses the
// sign-on; ended resolves with the kill reason (null for none) once the
// connection is gone.
export function chatVisitor(site, { uuid, nickname, from }) {
  const socket = net.connect({ host: '127.0.0.1', port: site.chatPort, localAddress: from });
  const writer = new LinkWriter(77);
  const reader = new LinkReader();
  const parser = new FrameParser();
  let signedOn;
  let ended;
  const visitor = {
    signedOn: new Promise((r) => { signedOn = r; }),
    ended: new Promise((r) => { ended = r; }),
    close: () => socket.destroy(),
  };
  let kill = null;
  const timer = setTimeout(() => socket.destroy(), 6 * WAIT);
  socket.on('connect', () => {
    socket.write(writer.scramble(frameMessage('Idn2', msg.encodeIdent({ uuid, nickname }))));
  });
  socket.on('data', (data) => {
    for (const m of parser.push(reader.descramble(new Uint8Array(data)))) {
      const type = typeText(m.type);
      if (type === 'UAre') signedOn(msg.decodeU32(m.payload));
      if (type === 'Kill') kill = msg.decodeU16(m.payload);
    }
  });
  socket.on('error', () => {});
  socket.on('close', () => {
    clearTimeout(timer);
    signedOn(null);
    ended(kill);
  });
  return visitor;
}
