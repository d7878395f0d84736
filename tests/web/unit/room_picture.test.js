// Finding a room's background picture from its description file, with the
// HTTP fetch replaced by files held in memory.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { deflateSync } from 'node:zlib';

import { backgroundOf, findRoomPicture } from '../../../src/web/js/room_picture.js';

const media = 'http://127.0.0.1:8080/';

// A fetch that answers from a map of path -> bytes, 404 for the rest.
function fakeFetch(files) {
  const asked = [];
  const fetchFn = async (url) => {
    const path = new URL(url).pathname.slice(1);
    asked.push(path);
    const body = files[path];
    return body === undefined
      ? { ok: false, arrayBuffer: async () => new ArrayBuffer(0) }
      : { ok: true, arrayBuffer: async () => new Uint8Array(Buffer.from(body)).buffer };
  };
  return { fetchFn, asked };
}

function rmz(text) {
  const head = Buffer.alloc(8);
  head.write('rmz ', 0, 'latin1');
  head.writeUInt32BE(text.length, 4);
  return Buffer.concat([head, deflateSync(Buffer.from(text, 'latin1'))]);
}

test('the background attribute in each form the site writes', () => {
  assert.equal(backgroundOf('<roomdesc background="plain.jpg">\r</roomdesc>\r'), 'plain.jpg');
  // The legacy importer writes it unquoted, with spots after it.
  assert.equal(backgroundOf('<roomdesc background=pics/hall.png>\r\t<spot id=1 poly=1,2></spot>\r'),
               'pics/hall.png');
  assert.equal(backgroundOf("<ROOMDESC Background='a b.gif'>"), 'a b.gif');
  assert.equal(backgroundOf('<roomdesc background=>\r</roomdesc>\r'), null);
  assert.equal(backgroundOf('<roomdesc>\r<spot background="x.jpg"></spot>'), null);
  assert.equal(backgroundOf('not a room description'), null);
});

test('the picture is found through .rmd and .rmz files, relative to them', async () => {
  const { fetchFn, asked } = fakeFetch({
    'gate.rmd': '<roomdesc background="plain.jpg">\r</roomdesc>\r',
    'rooms/hall.rmz': rmz('<roomdesc background=hall.png>\r</roomdesc>\r'),
  });
  assert.equal(await findRoomPicture('gate.rmd', media, fetchFn), `${media}plain.jpg`);
  assert.equal(await findRoomPicture('rooms/hall.rmz', media, fetchFn), `${media}rooms/hall.png`);
  assert.deepEqual(asked, ['gate.rmd', 'rooms/hall.rmz']);
  // A description that names a picture itself needs no fetch.
  assert.equal(await findRoomPicture('sky.JPG', media, fetchFn), `${media}sky.JPG`);
  assert.equal(asked.length, 2);
});

test('no picture when there is none to be had', async () => {
  const { fetchFn, asked } = fakeFetch({
    'bare.rmd': '<roomdesc>\r</roomdesc>\r',
    'odd.rmd': '<roomdesc background="javascript:alert(1)">',
    'broken.rmz': Buffer.concat([Buffer.from('rmz \0\0\0\x20'), Buffer.from('not zlib at all')]),
  });
  assert.equal(await findRoomPicture('missing.rmd', media, fetchFn), null);
  assert.equal(await findRoomPicture('bare.rmd', media, fetchFn), null);
  assert.equal(await findRoomPicture('broken.rmz', media, fetchFn), null);
  assert.equal(await findRoomPicture('odd.rmd', media, fetchFn), null); // only web addresses
  // Free text, as a hand-written description may be, is not fetched.
  assert.equal(await findRoomPicture('A quiet room by the sea', media, fetchFn), null);
  assert.equal(await findRoomPicture('', media, fetchFn), null);
  assert.deepEqual(asked, ['missing.rmd', 'bare.rmd', 'broken.rmz', 'odd.rmd']);
  const failing = async () => {
    throw new TypeError('network down');
  };
  assert.equal(await findRoomPicture('gate.rmd', media, failing), null);
});
