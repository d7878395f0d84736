// The browser page end to end: a real zanthd on loopback serves the page,
// two headless Chromium pages (one desktop, one phone-sized) and one
// terminal client (zanthc) sign on, see each other, talk, whisper, move,
// change face, colour, name and room, run a command, the pages come back
// after the server restarts, and a second tab of one browser takes over
// from the first. Screenshots go to $ARTEFACTS.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { closeSync, existsSync, mkdirSync, mkdtempSync, openSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

const { ZANTHD, ZANTHC, ARTEFACTS } = process.env;
const WAIT = 10000; // ms, for every single wait in a page
const CHROMIUM_ARGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

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

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// A site in a temporary HOME: three rooms, the gate with a picture.
function makeSite(home, chatPort, httpPort) {
  const data = path.join(home, 'Documents', 'My Zanth');
  const media = path.join(data, 'media');
  mkdirSync(media, { recursive: true });
  writeFileSync(path.join(data, 'zanth.conf'), `<?xml version="1.0"?>
<zanthd>
  <sitename address="127.0.0.1" port="${chatPort}" httpport="${httpPort}">Browser Check</sitename>
  <baseurl src="${media}/">http://127.0.0.1:${httpPort}/</baseurl>
  <room id="100" name="gate" gate="yes" desc="gate.rmd" src="gate.rmd"/>
  <room id="101" name="timeout" timeout="yes" hidden="yes" staff="yes" desc="t.rmd" src="t.rmd"/>
  <room id="102" name="the plaza" desc="plaza.rmd" src="plaza.rmd"/>
</zanthd>
`);
  writeFileSync(path.join(media, 'gate.rmd'), '<roomdesc background="gate.svg">\r</roomdesc>\r');
  writeFileSync(path.join(media, 'gate.svg'),
    '<svg xmlns="http://www.w3.org/2000/svg" width="512" height="384"><rect width="512" height="384" fill="#7a9"/>' +
    '<circle cx="256" cy="300" r="60" fill="#fd5"/></svg>');
  return data;
}

// Starts zanthd and waits for its listeners; the log says when.
async function startServer(home, data) {
  const log = path.join(data, 'zanth.log');
  const before = existsSync(log) ? readFileSync(log, 'latin1').length : 0;
  const env = { ...process.env, HOME: home };
  delete env.XDG_DOCUMENTS_DIR;
  // Its own output (a sanitizer's report, say) is kept with the screenshots.
  const output = path.join(ARTEFACTS, 'zanthd.out');
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

// The terminal client, scripted: it says its line and waits for the texts.
function runTerminalClient(chatPort, say, expect) {
  const args = [`127.0.0.1:${chatPort}`, '--name', 'Cyd', '--say', say, '--timeout', '60'];
  for (const text of expect) args.push('--expect', text);
  const proc = spawn(ZANTHC, args, { stdio: ['ignore', 'pipe', 'pipe'] });
  let output = '';
  proc.stdout.on('data', (d) => { output += d; });
  proc.stderr.on('data', (d) => { output += d; });
  const done = new Promise((resolve) => proc.once('exit', (code) => resolve({ code, output: () => output })));
  return { proc, done };
}

const logLine = (page, text, kind = '') =>
  page.locator(`#log li${kind ? `.${kind}` : ''}`, { hasText: text }).first();
// Log lines are looked for whichever panel is open.
const inLog = (page, text, kind = '') => logLine(page, text, kind).waitFor({ state: 'attached', timeout: WAIT });
const avatar = (page, name) => page.locator(`#avatars .avatar[data-name="${name}"]`);
const online = (page) => page.locator('#status[data-state="online"]').waitFor({ timeout: WAIT });

async function say(page, text) {
  await page.fill('#talk-input', text);
  await page.press('#talk-input', 'Enter');
}

async function openPanel(page, name) {
  await page.click(`.tabs [data-panel="${name}"]`);
}

test('two browser pages and a terminal client meet, talk and move', { timeout: 110000 }, async (t) => {
  assert.ok(ZANTHD && ZANTHC && ARTEFACTS, 'ZANTHD, ZANTHC and ARTEFACTS must be set');
  mkdirSync(ARTEFACTS, { recursive: true });
  rmSync(path.join(ARTEFACTS, 'zanthd.out'), { force: true });
  const home = mkdtempSync(path.join(os.tmpdir(), 'zanth-web-e2e-'));
  // A port picked as free may be taken before the server binds it; a few
  // fresh picks make that harmless.
  let chatPort, httpPort, data, server, failure;
  for (let attempt = 0; attempt < 3 && !server; attempt++) {
    chatPort = await freePort();
    do httpPort = await freePort(); while (httpPort === chatPort);
    data = makeSite(home, chatPort, httpPort);
    server = await startServer(home, data).catch((e) => {
      failure = e;
      return null;
    });
  }
  if (!server) throw failure;
  const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: CHROMIUM_ARGS, timeout: 30000 });
  let terminal = null;
  t.after(async () => {
    terminal?.proc.kill('SIGKILL');
    await browser.close();
    await stopServer(server);
    rmSync(home, { recursive: true, force: true });
  });

  const serverLog = () => readFileSync(path.join(data, 'zanth.log'), 'latin1');
  assert.match(serverLog(), /Placed the web client in .*media\/web\//);
  const url = `http://127.0.0.1:${httpPort}/web/index.html`;

  // Separate contexts: each page is a browser of its own, with its own
  // stored UUID. The server keeps one unidentified connection per address,
  // so the second page connects once the first has signed on.
  const desk = await browser.newContext({ viewport: { width: 1280, height: 800 } });
  await desk.addInitScript(() => localStorage.setItem('zanth.nickname', 'Ada'));
  const ada = await desk.newPage();
  const phone = await browser.newContext({ viewport: { width: 360, height: 740 }, isMobile: true, hasTouch: true });
  const bea = await phone.newPage();
  const pageErrors = [];
  for (const page of [ada, bea]) page.on('pageerror', (e) => pageErrors.push(String(e)));

  await ada.goto(url);
  await online(ada);
  await avatar(ada, 'Ada').waitFor({ timeout: WAIT });
  await assert.doesNotReject(ada.waitForFunction(() => {
    const img = document.getElementById('room-picture');
    return !img.hidden && img.naturalWidth > 0;
  }, null, { timeout: WAIT }), 'the gate picture is shown');
  assert.equal(await ada.textContent('#site-name'), 'Browser Check');
  // Module scripts run only when served under a JavaScript type.
  assert.deepEqual(await ada.evaluate(() => Promise.all(['js/app.js', 'style.css', 'index.html'].map(
    (f) => fetch(f).then((r) => r.headers.get('content-type'))))), ['text/javascript', 'text/css', 'text/html']);

  await bea.goto(url);
  await online(bea);
  const beaFirstName = await bea.locator('#avatars .avatar.self').getAttribute('data-name', { timeout: WAIT });
  await avatar(ada, beaFirstName).waitFor({ timeout: WAIT });
  await avatar(bea, 'Ada').waitFor({ timeout: WAIT });

  // A nickname set on the page: the room hears of it, the browser keeps it.
  await openPanel(bea, 'me');
  await bea.fill('#nick', 'Bea');
  await bea.click('#nick-form button[type="submit"]');
  await avatar(ada, 'Bea').waitFor({ timeout: WAIT });
  await inLog(ada, 'is now Bea');
  assert.equal(await bea.evaluate(() => localStorage.getItem('zanth.nickname')), 'Bea');

  terminal = runTerminalClient(chatPort, 'hello from the terminal',
    ['<Ada> hello terminal', '(whisper) <Ada> psst cyd', '*** Bea leaves']);
  await avatar(ada, 'Cyd').waitFor({ timeout: WAIT });
  await inLog(bea, 'hello from the terminal', 'talk');

  // Talk: the log and a bubble over the speaker.
  await say(ada, 'hello terminal');
  await inLog(bea, 'hello terminal', 'talk');
  await avatar(bea, 'Ada').locator('.bubble', { hasText: 'hello terminal' }).waitFor({ timeout: WAIT });

  // A whisper to a face clicked in the room reaches only its target.
  await avatar(ada, 'Cyd').click();
  assert.equal(await ada.textContent('#whisper-name'), 'Cyd');
  await say(ada, 'psst cyd');
  await inLog(ada, '(whisper to Cyd) psst cyd', 'whisper');

  // Colour and face, as the other page draws them.
  await bea.fill('#colour', '#ff0000');
  await avatar(ada, 'Bea').locator('circle[fill="#ff0000"]').waitFor({ timeout: WAIT });
  await bea.selectOption('#face', '3'); // a frown
  await avatar(ada, 'Bea').locator('path[d="M15 31q7-6 14 0"]').waitFor({ timeout: WAIT });

  // A click in the room moves there, in room coordinates whatever the scale.
  await openPanel(bea, 'log');
  const box = await bea.locator('#room').boundingBox();
  await bea.locator('#room').click({ position: { x: box.width * 0.75, y: box.height * 0.5 } });
  await ada.waitForFunction(() => {
    const b = document.querySelector('#avatars .avatar[data-name="Bea"]');
    return b && Math.abs(parseFloat(b.style.left) - 75) < 1 && Math.abs(parseFloat(b.style.top) - 50) < 1;
  }, null, { timeout: WAIT });

  // A whisper to a name in the people list.
  await openPanel(ada, 'people');
  await ada.locator('#people button', { hasText: 'Bea' }).click({ timeout: WAIT });
  await say(ada, 'for bea only');
  await inLog(bea, 'for bea only', 'whisper');

  // A line starting with ' is a server command; its answer is a listing.
  await ada.click('#whisper-clear');
  await openPanel(ada, 'log');
  await say(ada, "'rlist");
  await inLog(ada, 'gate - 3', 'list');

  // A room picked from the room list; the plaza has no picture.
  await openPanel(bea, 'rooms');
  await bea.locator('#rooms button', { hasText: 'the plaza' }).click({ timeout: WAIT });
  await bea.locator('#room[data-room-id="102"]').waitFor({ timeout: WAIT });
  assert.equal(await bea.textContent('#room-title'), 'the plaza');
  await inLog(ada, 'Bea leaves.', 'event');
  assert.equal(await bea.locator('#room-picture').isHidden(), true);
  assert.equal(await avatar(bea, 'Ada').count(), 0);

  // A whisper across rooms.
  await openPanel(ada, 'people');
  await ada.locator('#people button', { hasText: 'Bea' }).click({ timeout: WAIT });
  await say(ada, 'across rooms');
  await openPanel(bea, 'log');
  await inLog(bea, '(whisper from another room) across rooms', 'whisper');

  const cyd = await Promise.race([terminal.done, sleep(WAIT).then(() => null)]);
  assert.ok(cyd, 'zanthc did not finish');
  assert.equal(cyd.code, 0, `zanthc did not see everything:\n${cyd.output()}`);
  assert.equal(await logLine(bea, 'psst cyd').count(), 0, 'a whisper reached a bystander');

  // The phone layout has no sideways scrolling.
  assert.ok(await bea.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth));
  await ada.screenshot({ path: path.join(ARTEFACTS, 'desktop-gate.png') });
  await bea.screenshot({ path: path.join(ARTEFACTS, 'phone-plaza.png'), fullPage: true });

  // A dropped link: both pages come back on their own, each to its room.
  await stopServer(server);
  await ada.locator('#status[data-state="down"]').waitFor({ timeout: WAIT });
  await bea.locator('#status[data-state="down"]').waitFor({ timeout: WAIT });
  server = await startServer(home, data);
  await ada.locator('#status[data-state="online"]').waitFor({ timeout: 30000 });
  await bea.locator('#status[data-state="online"]').waitFor({ timeout: 30000 });
  await bea.locator('#room[data-room-id="102"]').waitFor({ timeout: WAIT });
  await avatar(bea, 'Bea').waitFor({ timeout: WAIT });
  await bea.screenshot({ path: path.join(ARTEFACTS, 'phone-reconnected.png'), fullPage: true });

  // A second tab of the same browser has the same identity: the server
  // keeps the newer sign-on, and the older tab steps aside for good
  // instead of taking its place back.
  const ada2 = await desk.newPage();
  ada2.on('pageerror', (e) => pageErrors.push(String(e)));
  await ada2.goto(url);
  await online(ada2);
  await ada.locator('#status[data-state="down"]', { hasText: 'another tab' }).waitFor({ timeout: WAIT });
  await sleep(3000);
  assert.equal(await ada2.getAttribute('#status', 'data-state'), 'online');
  assert.equal(await ada.getAttribute('#status', 'data-state'), 'down');

  assert.deepEqual(pageErrors, []);
});
