// The console's logic apart from the page: answers and refusals matched to
// the requests that asked, uploads cut into acknowledged segments, list
// differences, upload names and room description files.
import { test } from 'node:test';
import assert from 'node:assert/strict';

import { ConsoleRequests, REFUSALS } from '../../../src/web/js/console_requests.js';
import { SEGMENT_SIZE, upload } from '../../../src/web/js/upload.js';
import { differenceLines, isUploadName, listDifference, pictureNameFor, uploadNameFrom, withBackground }
  from '../../../src/web/js/console_lists.js';
import { backgroundOf } from '../../../src/web/js/room_picture.js';
import { typeCode } from '../../../src/web/js/frame.js';
import * as msg from '../../../src/web/js/messages.js';
import * as cm from '../../../src/web/js/console_messages.js';

const settled = (p) => p.then((v) => ({ value: v }), (e) => ({ error: e.message }));
const tick = () => new Promise((r) => setImmediate(r));

test('answers and refusals go to the requests that asked, in the order they went out', async () => {
  const sent = [];
  const r = new ConsoleRequests((code) => sent.push(code) > 0, 50);
  const accounts = (name) => new msg.Writer().u16(1).fixed(name, 33).fixed('x', 33).u16(1).u16(0).done();
  const first = settled(r.ask('REAu', undefined, { reply: 'AuLs', accept: cm.decodeAccountList }));
  const replaced = settled(r.tellThen('AuLs', new Uint8Array(2),
    () => r.ask('REAu', undefined, { reply: 'AuLs', accept: cm.decodeAccountList })));
  // Only a payload the request accepts answers it.
  const named = settled(r.ask('REGl', undefined, { reply: 'GrLs', accept: (p) => (p[0] === 7 ? 'seven' : undefined) }));
  r.receive(typeCode('GrLs'), Uint8Array.of(1));
  r.receive(typeCode('AuLs'), accounts('ann'));
  r.receive(typeCode('AuLs'), accounts('bob'));
  r.receive(typeCode('GrLs'), Uint8Array.of(7));
  assert.deepEqual(await first, { value: [{ name: 'ann', password: 'x', group: 1 }] });
  assert.deepEqual(await replaced, { value: [{ name: 'bob', password: 'x', group: 1 }] });
  assert.deepEqual(await named, { value: 'seven' });
  assert.deepEqual(sent, ['REAu', 'AuLs', 'REAu', 'REGl']);

  // A refused replacement: its refusal comes first, then the one of the
  // request behind it. Other notices are nobody's.
  const refused = settled(r.tell('GrLs', new Uint8Array(4)));
  const behind = settled(r.ask('REGl', undefined, { reply: 'GrLs' }));
  assert.equal(r.notice('Welcome!'), false);
  assert.equal(r.notice(REFUSALS.console), true);
  assert.deepEqual(await refused, { error: REFUSALS.console });
  assert.equal(r.notice(REFUSALS.console), true);
  assert.deepEqual(await behind, { error: REFUSALS.console });

  // A replacement taken, the request behind it refused for another reason.
  const taken = settled(r.tell('UpRm', new Uint8Array(592), [REFUSALS.author]));
  const created = settled(r.ask('CrRm', undefined, { reply: 'RmIn', refusals: [REFUSALS.roomInUse] }));
  assert.equal(r.notice(REFUSALS.roomInUse), true);
  assert.deepEqual(await taken, { value: true });
  assert.deepEqual(await created, { error: REFUSALS.roomInUse });
  assert.equal(r.pending.length, 0);

  // No answer: the request and the replacement before it fail; a dropped
  // link fails everything still waiting.
  const lost = settled(r.tellThen('BnLs', new Uint8Array(4), () => r.ask('REBl', undefined, { reply: 'BnLs' })));
  assert.deepEqual(await lost, { error: 'The server did not answer.' });
  const dropped = settled(r.ask('REDI', undefined, { reply: 'DrIn' }));
  r.reset();
  assert.deepEqual(await dropped, { error: 'The connection dropped.' });
  const down = new ConsoleRequests(() => false);
  assert.deepEqual(await settled(down.ask('REAu', undefined, { reply: 'AuLs' })), { error: 'Not connected; nothing was sent.' });
});

test('an upload goes out in acknowledged segments that carry the whole file, with its progress', async () => {
  const segments = [];
  let r;
  let refuse = false;
  r = new ConsoleRequests((code, payload) => {
    if (code === 'sUpl' && refuse) {
      setImmediate(() => r.notice(REFUSALS.author));
      return true;
    }
    const name = code === 'sUpl' ? msg.decodeZString(payload) : new TextDecoder().decode(payload.subarray(0, 32)).replace(/\0+$/, '');
    if (code === 'fSeg') segments.push(payload);
    setImmediate(() => r.receive(typeCode('FAck'), msg.encodeZString(name)));
    return true;
  }, 1000);
  const bytes = Uint8Array.from({ length: 2 * SEGMENT_SIZE + 7232 }, (_, i) => (i * 7) & 0xff);
  const progress = [];
  await upload(r, 'attic.png', bytes, (done, total) => progress.push([done, total]));
  const view = (p) => new DataView(p.buffer, p.byteOffset);
  assert.deepEqual(segments.map((p) => [view(p).getUint16(32), view(p).getUint32(36), p[40]]),
    [[SEGMENT_SIZE, 0, 0], [SEGMENT_SIZE, SEGMENT_SIZE, 0], [7232, 2 * SEGMENT_SIZE, 1]]);
  assert.deepEqual(Buffer.concat(segments.map((p) => p.subarray(41))), Buffer.from(bytes));
  assert.deepEqual(progress.at(-1), [bytes.length, bytes.length]);
  assert.deepEqual(progress.map(([d]) => d), [0, SEGMENT_SIZE, 2 * SEGMENT_SIZE, bytes.length]);

  // An empty file is one empty last segment; a refused start sends nothing.
  segments.length = 0;
  await upload(r, 'empty.rmd', new Uint8Array(0));
  assert.deepEqual(segments.map((p) => [p.length, p[40]]), [[41, 1]]);
  refuse = true;
  segments.length = 0;
  assert.deepEqual(await settled(upload(r, 'x.png', bytes)), { error: REFUSALS.author });
  await tick();
  assert.equal(segments.length, 0);
});

test('list differences, upload names and room description files', () => {
  const before = [{ name: 'ann', group: 1 }, { name: 'bob', group: 1 }, { name: 'ann', group: 3 }];
  const describe = (a) => `${a.name} in ${a.group}`;
  const key = (a) => a.name;
  assert.equal(listDifference(before, JSON.parse(JSON.stringify(before)), key).none, true);
  const diff = listDifference(before, [{ name: 'cyd', group: 2 }, { name: 'ann', group: 1 }, { name: 'bob', group: 3 }], key);
  assert.deepEqual(differenceLines(diff, describe), ['added: cyd in 2', 'removed: ann in 3', 'changed: bob in 1 → bob in 3']);
  const swapped = listDifference(before, [before[1], before[0], before[2]], key);
  assert.deepEqual(differenceLines(swapped, describe), ['the order changed']);
  // By place: the second group renamed.
  const groups = listDifference([{ name: 'A' }, { name: 'B' }], [{ name: 'A' }, { name: 'C' }], (g, i) => String(i));
  assert.deepEqual(groups.changed, [[{ name: 'B' }, { name: 'C' }]]);

  assert.equal(uploadNameFrom('Attic view.svg'), 'Attic-view.svg');
  assert.equal(uploadNameFrom('..hidden'), 'hidden');
  assert.equal(uploadNameFrom(`${'x'.repeat(40)}.jpeg`), `${'x'.repeat(26)}.jpeg`);
  assert.equal(pictureNameFor('attic.rmd', 'My Picture.PNG'), 'attic.png');
  assert.equal(pictureNameFor('attic.rmd', 'no-extension'), null);
  for (const bad of ['', '.x', 'a/b', 'a\\b', 'x'.repeat(32), 'é.png']) assert.equal(isUploadName(bad), false, bad);
  assert.equal(isUploadName('x'.repeat(31)), true);

  const spots = '<roomdesc background=old.jpg title="x">\r\t<spot id=1 poly=1,1:2,2>\r\t</spot>\r</roomdesc>\r';
  const changed = withBackground(spots, 'attic.png');
  assert.equal(backgroundOf(changed), 'attic.png');
  assert.equal(changed.replace('background="attic.png"', 'background=old.jpg'), spots);
  assert.equal(backgroundOf(withBackground('<ROOMDESC>\r</ROOMDESC>', 'a.png')), 'a.png');
  assert.equal(backgroundOf(withBackground(null, 'a.png')), 'a.png');
  const wrapped = withBackground('<spot id=1></spot>', 'a.png');
  assert.equal(backgroundOf(wrapped), 'a.png');
  assert.ok(wrapped.includes('<spot id=1></spot>'));
});
