// The room as the browser page draws it, with three visitors (two desktops
// and a phone) going from room to room: every face stands where the room
// says, speech bubbles stay inside the room and never hide a name, and a
// long name in the chat log is never broken inside a word. Screenshots go
// to $ARTEFACTS.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import path from 'node:path';
import { ARTEFACTS, DESKTOP, PHONE, WAIT, avatar, goToRoom, inLog, newVisitor, online, openPanel, openSite,
  say } from './harness.js';

// 31 wide letters, the longest nickname: more than a line of the log holds.
const LONG_NAME = 'M'.repeat(31);
const LONG_LINE = 'a long line that wraps inside its bubble, said to see where the bubble goes '.repeat(3).trim();

// Moves a page's visitor by a click at a fraction of the room's box.
async function clickRoom(page, fx, fy) {
  const room = page.locator('#room');
  const box = await room.boundingBox();
  await room.click({ position: { x: box.width * fx, y: box.height * fy } });
}

// What is wrong with where the faces stand, or '' when nothing is: each
// face must be drawn centred on its place (a percentage of the room's box),
// the named ones at the given spots, and no two at one place.
function misplaced(spots) {
  const room = document.getElementById('room').getBoundingClientRect();
  const drawn = [...document.querySelectorAll('#avatars .avatar')].map((a) => {
    const face = a.querySelector('svg').getBoundingClientRect();
    return {
      name: a.dataset.name,
      x: ((face.left + face.width / 2 - room.left) / room.width) * 100,
      y: ((face.top + face.height / 2 - room.top) / room.height) * 100,
      left: parseFloat(a.style.left),
      top: parseFloat(a.style.top),
    };
  });
  const wrong = [];
  for (const f of drawn) {
    if (Math.abs(f.x - f.left) >= 0.5 || Math.abs(f.y - f.top) >= 0.5) {
      wrong.push(`${f.name} is drawn at ${f.x.toFixed(1)},${f.y.toFixed(1)}, not at ${f.left},${f.top}`);
    }
  }
  for (const [name, [x, y]] of Object.entries(spots)) {
    const f = drawn.find((d) => d.name === name);
    if (!f) wrong.push(`${name} is not in the room`);
    else if (Math.abs(f.left - x) >= 1 || Math.abs(f.top - y) >= 1) wrong.push(`${name} stands at ${f.left},${f.top}, not at ${x},${y}`);
  }
  if (new Set(drawn.map((f) => `${Math.round(f.left)},${Math.round(f.top)}`)).size !== drawn.length) {
    wrong.push(`faces share a place: ${drawn.map((f) => `${f.name}@${f.left},${f.top}`).join(' ')}`);
  }
  return wrong.join('; ');
}

// Waits until check(arg), run in the page, finds nothing wrong (faces
// glide to a new place), and fails with what it found when it never does.
async function assertRight(page, check, arg) {
  const right = `(${check})(${JSON.stringify(arg)}) === ''`;
  if (await page.waitForFunction(right, null, { timeout: WAIT }).then(() => true, () => false)) return;
  assert.fail(await page.evaluate(check, arg));
}

// What is wrong with the speech bubbles, or '' when nothing is: there must
// be a bubble for each text, every bubble inside the room's box, and every
// name label must be what is seen at its middle. Bubbles are made
// hit-testable for the check, so that the hit test sees what is drawn on
// top.
function bubbleTrouble(texts) {
  const room = document.getElementById('room').getBoundingClientRect();
  const bubbles = [...document.querySelectorAll('#avatars .bubble')];
  const wrong = texts.filter((t) => !bubbles.some((b) => b.textContent === t)).map((t) => `no bubble says ${t}`);
  for (const b of bubbles) {
    const r = b.getBoundingClientRect();
    if (r.left < room.left - 0.5 || r.right > room.right + 0.5 || r.top < room.top - 0.5 || r.bottom > room.bottom + 0.5) {
      wrong.push(`a bubble of ${b.closest('.avatar').dataset.name} leaves the room`);
    }
  }
  const style = document.createElement('style');
  style.textContent = '.bubble { pointer-events: auto !important; }';
  document.head.append(style);
  for (const label of document.querySelectorAll('#avatars .name')) {
    const r = label.getBoundingClientRect();
    const seen = document.elementFromPoint(r.left + r.width / 2, r.top + r.height / 2);
    if (seen === null || !label.contains(seen)) wrong.push(`the name ${label.textContent} is hidden`);
  }
  style.remove();
  return wrong.join('; ');
}

// The names in the log that are not drawn in one piece on one line inside
// the log: the text of a name broken across lines has boxes on each line.
const brokenNames = (page) => page.evaluate(() => {
  const log = document.getElementById('log').getBoundingClientRect();
  return [...document.querySelectorAll('#log .who')].filter((w) => {
    const text = document.createRange();
    text.selectNodeContents(w);
    const lines = new Set([...text.getClientRects()].filter((r) => r.width > 0).map((r) => Math.round(r.top))).size;
    return lines !== 1 || w.getBoundingClientRect().right > log.right + 0.5;
  }).map((w) => w.textContent);
});

test('faces, bubbles and names in a room as the page draws it', { timeout: 110000 }, async (t) => {
  const site = await openSite(t, 'room-view', [
    '<room id="100" name="gate" gate="yes" desc="gate.rmd" src="gate.rmd"',
    '<room id="102" name="the plaza" width="800" height="600" desc="plaza.rmd" src="plaza.rmd"',
    '<room id="103" name="the nook" width="300" height="200" desc="nook.rmd" src="nook.rmd"',
  ]);
  const pageErrors = [];
  const ann = (await newVisitor(site, DESKTOP, 'Ann', pageErrors)).page;
  const bob = (await newVisitor(site, DESKTOP, 'Bob', pageErrors)).page;
  const mo = (await newVisitor(site, PHONE, LONG_NAME, pageErrors)).page;
  const everyone = [ann, bob, mo];
  // One unidentified connection per address: one page after the other.
  for (const page of everyone) {
    await page.goto(site.url);
    await online(page);
  }
  await avatar(ann, LONG_NAME).waitFor({ timeout: WAIT });

  // A name longer than the log is wide stays on one line, on the phone as
  // on a desktop.
  await say(mo, 'hello from the phone');
  for (const page of everyone) {
    await inLog(page, 'hello from the phone', 'talk');
    assert.deepEqual(await brokenNames(page), [], 'a name in the log is broken');
  }

  // Two go to the plaza, a larger room, and move; the third follows and
  // finds them where they went.
  await goToRoom(ann, 'the plaza', 102);
  await clickRoom(ann, 0.3, 0.7);
  await goToRoom(bob, 'the plaza', 102);
  await clickRoom(bob, 0.7, 0.3);
  await goToRoom(mo, 'the plaza', 102);
  await openPanel(mo, 'log');
  await avatar(mo, 'Bob').waitFor({ timeout: WAIT });
  for (const page of everyone) await assertRight(page, misplaced, { Ann: [30, 70], Bob: [70, 30] });

  // Bubbles at the edges of the room stay inside it.
  await clickRoom(ann, 0.01, 0.01);
  await clickRoom(bob, 0.99, 0.99);
  await say(ann, `Ann: ${LONG_LINE}`);
  await say(bob, `Bob: ${LONG_LINE}`);
  for (const page of everyone) await assertRight(page, bubbleTrouble, [`Ann: ${LONG_LINE}`, `Bob: ${LONG_LINE}`]);
  await mo.screenshot({ path: path.join(ARTEFACTS, 'phone-bubbles-at-edges.png') });

  // One stands just below the other and talks: the bubble does not hide
  // the name of the one above.
  await clickRoom(ann, 0.5, 250 / 600);
  await clickRoom(bob, 0.5, 320 / 600);
  await say(bob, `Bob again: ${LONG_LINE}`);
  for (const page of everyone) await assertRight(page, bubbleTrouble, [`Bob again: ${LONG_LINE}`]);
  await ann.screenshot({ path: path.join(ARTEFACTS, 'desktop-bubble-over-name.png') });

  // A smaller room: whoever comes in stands where the room puts them.
  await goToRoom(mo, 'the nook', 103);
  await goToRoom(ann, 'the nook', 103);
  await openPanel(ann, 'log');
  await avatar(mo, 'Ann').waitFor({ timeout: WAIT });
  for (const page of [ann, mo]) await assertRight(page, misplaced, {});
  assert.deepEqual(pageErrors, []);
});
