// The site console in the browser page, end to end against a real zanthd:
// the owner signs on to the default account and, through the Console tab
// alone, adds an account and changes its group, bans a visitor (whose next
// sign-on is refused), gives a group more rights, renames the site (which
// another page sees at once), creates a room and uploads its background;
// a second staff page (phone-sized) that saves an account list changed
// meanwhile is shown the difference instead of overwriting it; a visitor
// without the privilege has no Console tab and is refused the account
// list; after a restart every change is still there. With
// ZANTH_SCREENSHOTS=1 the README's two screenshots are written to docs/.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { ARTEFACTS, DESKTOP, PHONE, WAIT, ZANTHC, chatVisitor, newVisitor, online, openPanel, openSite,
  sleep } from './harness.js';

const SHOTS = process.env.ZANTH_SCREENSHOTS === '1'
  ? fileURLToPath(new URL('../../../docs/', import.meta.url)) : ARTEFACTS;
const VIC = { uuid: [0x11111111, 0x22222222, 0x33334444, 0x55556666], nickname: 'Vic' };
const PICTURE = '<svg xmlns="http://www.w3.org/2000/svg" width="512" height="384">' +
  '<rect width="512" height="384" fill="#36a"/><rect y="250" width="512" height="134" fill="#a73"/>' +
  '<circle cx="400" cy="90" r="40" fill="#fe8"/></svg>';

// The controls of the console that have no accessible name: no label, no
// aria-label, no text.
function unnamedControls() {
  return [...document.querySelectorAll('#panel-console input, #panel-console select, #panel-console textarea,' +
    ' #panel-console button, #panel-console progress')]
    .filter((c) => c.offsetParent !== null)
    .filter((c) => !(c.labels?.length > 0 || c.getAttribute('aria-label') || c.textContent.trim() !== ''))
    .map((c) => c.outerHTML.slice(0, 80));
}

// Signs a page on to an account under Me and waits for the Console tab.
async function signOnAsOwner(page) {
  await openPanel(page, 'me');
  await page.fill('#account', 'Lord');
  await page.fill('#password', 'Velk*Baron');
  await page.click('#account-form button[type="submit"]');
  await page.locator('#console-tab').waitFor({ state: 'visible', timeout: WAIT });
}

async function openSection(page, name) {
  if (await page.locator('#panel-console').isHidden()) await openPanel(page, 'console');
  await page.click(`#console-nav [data-section="${name}"]`);
}

// Waits until a section's feedback says text.
const feedback = (page, section, text) =>
  page.locator(`#console-${section} .feedback`, { hasText: text }).first().waitFor({ timeout: WAIT });

// Saves a section and waits for the server's list to confirm it; a
// failure says what the page said instead.
async function saveSection(page, section) {
  await page.click(`#console-${section} button.save`);
  if (await feedback(page, section, 'Saved.').then(() => true, () => false)) return;
  assert.fail(`saving ${section}: ${await page.locator(`#console-${section} .save-bar .feedback`).textContent()}`);
}

// The sign-on of an account with zanthc: the group it is given.
function accountGroup(site, account, password) {
  const proc = spawn(ZANTHC, [`127.0.0.1:${site.chatPort}`, '--name', 'Checker', '--account', account,
    '--password', password, '--expect', 'privileges', '--timeout', '10'], { stdio: ['ignore', 'pipe', 'pipe'] });
  let output = '';
  proc.stdout.on('data', (d) => { output += d; });
  return new Promise((resolve) => proc.once('exit', () => resolve(/You now have (\S+) privileges/.exec(output)?.[1] ?? output)));
}

test('staff run the site from the Console tab; the changes outlive a restart', { timeout: 170000 }, async (t) => {
  const site = await openSite(t, 'console', [
    '<room id="100" name="gate" gate="yes" desc="gate.rmd" src="gate.rmd"',
    '<room id="101" name="timeout" timeout="yes" hidden="yes" staff="yes" desc="t.rmd" src="t.rmd"',
  ]);
  const visitors = [];
  site.closers.push(() => visitors.forEach((v) => v.close()));
  const errors = [];
  const { page: owner } = await newVisitor(site, DESKTOP, 'Owen', errors);
  owner.on('dialog', (d) => d.accept());
  await owner.goto(site.url);
  await online(owner);

  // A visitor's page has no Console tab, and the account list asked for
  // by hand from it is refused.
  const { page: guest } = await newVisitor(site, PHONE, 'Gus', errors);
  await guest.goto(site.url);
  await online(guest);
  assert.equal(await guest.locator('#console-tab').isHidden(), true);
  const answer = await guest.evaluate(async (wait) => {
    const { ChatConnection } = await import('./js/connection.js');
    const { typeCode } = await import('./js/frame.js');
    const msg = await import('./js/messages.js');
    const scheme = location.protocol === 'https:' ? 'wss' : 'ws';
    const link = new ChatConnection(`${scheme}://${location.host}/chat-socket`);
    return new Promise((resolve) => {
      const done = (text) => { link.stop(); resolve(text); };
      setTimeout(() => done('no answer'), wait);
      link.addEventListener('open', () => link.send(typeCode('Idn2'), msg.encodeIdent({
        uuid: [9, 8, 7, 6 + Math.floor(Math.random() * 1000)], nickname: 'Hand', capabilities: msg.CAPS_WEB_CLIENT })));
      link.addEventListener('message', ({ detail: m }) => {
        if (m.type === typeCode('UAre')) link.send(typeCode('REAu'));
        if (m.type === typeCode('AuLs')) done('the account list');
        const s = m.type === typeCode('Talk') ? msg.decodeSpeech(m.payload) : null;
        if (s && s.speaker === 0 && /permission/.test(s.text)) done(s.text);
      });
      link.connect();
    });
  }, WAIT);
  assert.equal(answer, 'You do not have console permission');

  // The owner signs on to the default account: the Console tab appears.
  await signOnAsOwner(owner);
  await openSection(owner, 'accounts');
  await owner.locator('#console-accounts li[data-name="Lord"]').waitFor({ timeout: WAIT });

  // An account added, then moved to another group; the server encoded the
  // password that went plain.
  await owner.fill('#account-add-name', 'ann');
  await owner.fill('#account-add-password', 'ann secret');
  await owner.selectOption('#account-add-group', { label: 'Freeman (1)' });
  await owner.click('#account-add-form button[type="submit"]');
  await saveSection(owner, 'accounts');
  assert.equal(await accountGroup(site, 'ann', 'ann secret'), 'Freeman');
  await owner.selectOption('#console-accounts select[aria-label="Group of ann"]', { label: 'Knight (3)' });
  await saveSection(owner, 'accounts');
  assert.equal(await accountGroup(site, 'ann', 'ann secret'), 'Knight');

  // A visitor banned from the console: disconnected, and refused at the
  // next sign-on.
  const vic = chatVisitor(site, { ...VIC, from: '127.9.0.1' });
  visitors.push(vic);
  assert.ok(await vic.signedOn, 'Vic could not sign on');
  await openPanel(owner, 'people');
  await owner.locator('#people button', { hasText: 'Vic' }).waitFor({ timeout: WAIT });
  await openSection(owner, 'bans');
  await owner.focus('#ban-add-who');
  await owner.selectOption('#ban-add-who', { label: 'Vic' });
  await owner.click('#ban-add-form button[type="submit"]');
  await owner.locator('#ban-add-feedback', { hasText: 'Vic is banned.' }).waitFor({ timeout: WAIT });
  assert.equal(await vic.ended, 2, 'Vic was not killed');
  const vicAgain = chatVisitor(site, { ...VIC, from: '127.9.0.2' });
  visitors.push(vicAgain);
  assert.equal(await vicAgain.signedOn, null);
  assert.equal(await vicAgain.ended, 1, 'Vic signed on again');

  // Knights may create rooms and ban from now on: a privilege and a
  // command right ticked by their names.
  await openSection(owner, 'groups');
  const knight = owner.locator('#console-groups li[data-group="3"]');
  await knight.locator('summary').click({ timeout: WAIT });
  await knight.getByLabel('Create rooms').check();
  await knight.getByLabel('kill', { exact: true }).check();
  await saveSection(owner, 'groups');

  // The site renamed: the visitor's page shows the new name at once.
  await openSection(owner, 'site');
  await owner.waitForFunction(() => document.getElementById('site-name-input').value === 'Browser Check', null,
    { timeout: WAIT });
  await owner.fill('#site-name-input', 'Console Check');
  await saveSection(owner, 'site');
  await guest.locator('#site-name', { hasText: 'Console Check' }).waitFor({ timeout: WAIT });

  // A room created, and its background uploaded: the page stands in it
  // and shows the picture.
  await openSection(owner, 'rooms');
  await owner.waitForFunction(() => document.getElementById('room-create-id').value !== '', null, { timeout: WAIT });
  const roomId = Number(await owner.inputValue('#room-create-id'));
  assert.equal(await owner.inputValue('#room-create-file'), `room${roomId}.rmd`);
  await owner.fill('#room-create-name', 'the attic');
  await owner.click('#room-create-form button[type="submit"]');
  await owner.locator('#room-create-feedback', { hasText: 'Created the attic' }).waitFor({ timeout: WAIT });
  await owner.locator(`#room[data-room-id="${roomId}"]`).waitFor({ timeout: WAIT });
  await owner.locator('#room-edit-title', { hasText: 'the attic' }).waitFor({ timeout: WAIT });
  await owner.setInputFiles('#room-picture-file', { name: 'Attic view.svg', mimeType: 'image/svg+xml', buffer: Buffer.from(PICTURE) });
  await owner.click('#room-picture-upload');
  await owner.locator('#room-upload-feedback', { hasText: `Uploaded room${roomId}.svg and room${roomId}.rmd` })
    .waitFor({ timeout: WAIT });
  assert.equal(await owner.evaluate(() => document.getElementById('room-upload-progress').value), 1);
  const pictureShown = () => owner.waitForFunction(() => {
    const img = document.getElementById('room-picture');
    return !img.hidden && img.naturalWidth > 0;
  }, null, { timeout: WAIT });
  await pictureShown();
  await owner.evaluate(() => { document.getElementById('panel-console').scrollTop = 0; });
  await owner.screenshot({ path: path.join(SHOTS, 'console-desktop.png') });

  // A second staff page, phone-sized, loads the accounts; the owner adds
  // one meanwhile; the second page's save shows the difference and
  // overwrites nothing.
  const { page: deputy } = await newVisitor(site, PHONE, 'Dee', errors);
  await deputy.goto(site.url);
  await online(deputy);
  await signOnAsOwner(deputy);
  await openSection(deputy, 'accounts');
  await deputy.locator('#console-accounts li[data-name="ann"]').waitFor({ timeout: WAIT });
  await openSection(owner, 'accounts');
  await owner.fill('#account-add-name', 'bob');
  await owner.fill('#account-add-password', 'bob secret');
  await owner.click('#account-add-form button[type="submit"]');
  await saveSection(owner, 'accounts');
  // By keyboard alone; the difference takes the focus.
  await deputy.press('#console-accounts button[aria-label="Delete account ann"]', 'Enter');
  await deputy.press('#console-accounts button.save', 'Enter');
  const conflict = deputy.locator('#console-accounts .conflict');
  await conflict.locator('li', { hasText: 'added: bob in Freeman' }).waitFor({ timeout: WAIT });
  await feedback(deputy, 'accounts', 'Not saved');
  assert.equal(await deputy.evaluate(() => document.activeElement.className), 'conflict');
  // Every control of the console has a name a screen reader reads out.
  for (const section of ['accounts', 'bans', 'groups', 'sounds', 'site', 'rooms']) {
    await openSection(deputy, section);
    assert.deepEqual(await deputy.evaluate(unnamedControls), [], `unnamed controls in ${section}`);
  }
  await openSection(deputy, 'accounts');
  assert.ok(await deputy.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth),
    'the console is wider than a phone');
  await deputy.screenshot({ path: path.join(SHOTS, 'console-phone.png') });
  await conflict.getByRole('button', { name: 'Drop mine, show theirs' }).click();
  await deputy.locator('#console-accounts li[data-name="bob"]').waitFor({ timeout: WAIT });
  await deputy.locator('#console-accounts li[data-name="ann"]').waitFor({ timeout: WAIT });

  // After a restart the pages come back, the owner's with the console, and
  // every change is there.
  await site.stop();
  await site.restart();
  await owner.locator('#status[data-state="online"]').waitFor({ timeout: 30000 });
  await owner.waitForFunction(() => [...document.querySelectorAll('#log li.notice')]
    .filter((li) => li.textContent === 'You now have Lord privileges').length === 2, null, { timeout: WAIT });
  await owner.click('#console-accounts button.reload');
  await owner.locator('#console-accounts li[data-name="bob"]').waitFor({ timeout: WAIT });
  assert.equal(await owner.inputValue('#console-accounts select[aria-label="Group of ann"]'), '3');
  assert.equal(await accountGroup(site, 'ann', 'ann secret'), 'Knight');
  await openSection(owner, 'bans');
  await owner.locator('#console-bans li[data-key="444455556666"]').getByLabel('Banned').waitFor({ timeout: WAIT });
  assert.equal(await owner.locator('#console-bans li[data-key="444455556666"]').getByLabel('Banned').isChecked(), true);
  const vicLater = chatVisitor(site, { ...VIC, from: '127.9.0.3' });
  visitors.push(vicLater);
  assert.equal(await vicLater.ended, 1, 'the ban did not outlive the restart');
  await openSection(owner, 'groups');
  await owner.locator('#console-groups li[data-group="3"] summary').click({ timeout: WAIT });
  assert.equal(await owner.locator('#console-groups li[data-group="3"]').getByLabel('Create rooms').isChecked(), true);
  assert.equal(await owner.locator('#site-name').textContent(), 'Console Check');
  await guest.locator('#site-name', { hasText: 'Console Check' }).waitFor({ timeout: 30000 });
  await owner.locator(`#room[data-room-id="${roomId}"]`).waitFor({ timeout: WAIT });
  await pictureShown();
  await openSection(owner, 'rooms');
  await owner.locator(`#console-room-list li[data-room-id="${roomId}"]`, { hasText: 'the attic' }).waitFor({ timeout: WAIT });

  await sleep(200);
  assert.deepEqual(errors, []);
});
