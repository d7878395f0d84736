// The browser page end to end: a real zanthd on loopback serves the page,
// two headless Chromium pages (one desktop, one phone-sized) and one
// terminal client (zanthc) sign on, see each other, talk, whisper, move,
// change face, colour, name and room, run a command, the pages come back
// after the server restarts, and a second tab of one browser takes over
// from the first. Screenshots go to $ARTEFACTS.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import path from 'node:path';
import { ARTEFACTS, DESKTOP, PHONE, WAIT, ZANTHC, avatar, goToRoom, inLog, logLine, newVisitor, online,
  openPanel, openSite, say, sleep } from './harness.js';

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

// The number in the header and the names in the people list, read at one
// moment.
const headerAndList = (page) => page.evaluate(() => ({
  count: parseInt(document.getElementById('user-count').textContent, 10),
  listed: [...document.querySelectorAll('#people button')].map((b) => b.firstChild.textContent).sort(),
}));

test('two browser pages and a terminal client meet, talk and move', { timeout: 110000 }, async (t) => {
  const site = await openSite(t, 'browser', [
    '<room id="100" name="gate" gate="yes" desc="gate.rmd" src="gate.rmd"',
    '<room id="101" name="timeout" timeout="yes" hidden="yes" staff="yes" desc="t.rmd" src="t.rmd"',
    '<room id="102" name="the plaza" desc="plaza.rmd" src="plaza.rmd"',
  ], {
    'gate.rmd': '<roomdesc background="gate.svg">\r</roomdesc>\r',
    'gate.svg': '<svg xmlns="http://www.w3.org/2000/svg" width="512" height="384"><rect width="512" height="384" fill="#7a9"/>' +
      '<circle cx="256" cy="300" r="60" fill="#fd5"/></svg>',
  });
  let terminal = null;
  site.closers.push(() => terminal?.proc.kill('SIGKILL'));
  assert.match(site.log(), /Placed the web client in .*media\/web\//);
  const url = site.url;

  // Separate contexts: each page is a browser of its own, with its own
  // stored UUID. The server keeps one unidentified connection per address,
  // so the second page connects once the first has signed on.
  const pageErrors = [];
  const { context: desk, page: ada } = await newVisitor(site, DESKTOP, 'Ada', pageErrors);
  const { page: bea } = await newVisitor(site, PHONE, '', pageErrors);

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

  terminal = runTerminalClient(site.chatPort, 'hello from the terminal',
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
  await goToRoom(bea, 'the plaza', 102);
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
  await site.stop();
  await ada.locator('#status[data-state="down"]').waitFor({ timeout: WAIT });
  await bea.locator('#status[data-state="down"]').waitFor({ timeout: WAIT });
  await site.restart();
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
  // The connection the new tab replaced is not someone leaving, and the
  // header counts the people that the list shows, also as soon as one goes.
  await openPanel(ada2, 'people');
  await ada2.locator('#people button', { hasText: 'Bea' }).waitFor({ timeout: WAIT });
  assert.deepEqual(await headerAndList(ada2), { count: 2, listed: ['Ada (you)', 'Bea'] });
  assert.equal(await logLine(ada2, 'leaves').count(), 0, 'the replaced connection was reported leaving');
  await bea.close();
  await ada2.locator('#people button', { hasText: 'Bea' }).waitFor({ state: 'detached', timeout: WAIT });
  assert.deepEqual(await headerAndList(ada2), { count: 1, listed: ['Ada (you)'] });
  await sleep(3000);
  assert.equal(await ada2.getAttribute('#status', 'data-state'), 'online');
  assert.equal(await ada.getAttribute('#status', 'data-state'), 'down');

  assert.deepEqual(pageErrors, []);
});
