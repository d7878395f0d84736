// The page's protocol code against bytes made elsewhere: the golden file
// that the C++ scrambler, framer, encoders and decoders produce, and the
// independently computed vectors of the scrambling and the framing.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';

import { LinkReader, LinkWriter, buildReceiverTable, buildSenderTable } from '../../../src/web/js/scramble.js';
import { FrameError, FrameParser, frameMessage, typeCode, typeText } from '../../../src/web/js/frame.js';
import * as msg from '../../../src/web/js/messages.js';
import * as cm from '../../../src/web/js/console_messages.js';

const golden = JSON.parse(readFileSync(new URL('../../data/web/golden.json', import.meta.url)));
const vectors = JSON.parse(readFileSync(new URL('../../data/protocol-vectors.json', import.meta.url)));

const hex = (bytes) => Buffer.from(bytes).toString('hex');
const bytes = (text) => new Uint8Array(Buffer.from(text, 'hex'));

// Feeds wire bytes in pieces of varying size, as WebSocket messages cut a
// stream anywhere.
function descrambleInPieces(wire, sizes) {
  const reader = new LinkReader();
  const parts = [];
  for (let at = 0, i = 0; at < wire.length; i++) {
    const n = sizes[i % sizes.length];
    parts.push(reader.descramble(wire.subarray(at, at + n)));
    at += n;
  }
  return new Uint8Array(Buffer.concat(parts));
}

// The page's encoder for each golden client message, from its fields.
const encoders = {
  ident: (f) => msg.encodeIdent(f),
  ident_cut: (f) => msg.encodeIdent(f),
  talk: (f) => msg.encodeText(f.text),
  command: (f) => msg.encodeText(f.text),
  talk_long: (f) => msg.encodeText(f.text),
  whisper: (f) => msg.encodeWhisper(f.targets, f.text),
  move: (f) => msg.encodeMove(f.x, f.y),
  face: (f) => msg.encodeFace(f.face),
  colour: (f) => msg.encodeColour(f.colour),
  goto_room: (f) => msg.encodeRoomRequest(f.room),
  goto_timeout: (f) => msg.encodeRoomRequest(f.room),
  name: (f) => msg.encodeZString(f.name),
  auth: (f) => msg.encodeAuth(f.name, f.password),
  room_list: () => undefined,
  user_list: () => undefined,
  // The site console's.
  REAu: () => undefined,
  REBl: () => undefined,
  REGl: () => undefined,
  REPm: () => undefined,
  RECm: () => undefined,
  REDI: () => undefined,
  ARmI: () => undefined,
  REIn: () => undefined,
  account_list: (f) => cm.encodeAccountList(f.accounts),
  group_list: (f) => cm.encodeGroupList(f.groups),
  ban_list: (f) => cm.encodeBanList(f.bans),
  sound_list: (f) => cm.encodeSoundList(f.sounds),
  directory_info: (f) => cm.encodeDirectoryInfo(f),
  rating: (f) => cm.encodeRating(f.enabled, f.values),
  create_room: (f) => cm.encodeRoomRecord(f),
  upload_start: (f) => msg.encodeZString(f.name),
  upload_segment: (f) => cm.encodeUploadSegment(f.name, f.offset, bytes(f.bytes_hex), f.last),
};

const decoders = {
  Talk: msg.decodeSpeech,
  xTlk: msg.decodeSpeech,
  CrTk: msg.decodeCrossRoomWhisper,
  UsMv: msg.decodeUserMove,
  FNum: msg.decodeUserFace,
  FRGB: msg.decodeUserColour,
  RmIn: msg.decodeRoomInfo,
  RmEn: msg.decodeUserSummary,
  RmOc: msg.decodeOccupants,
  Rmls: msg.decodeRoomList,
  RlUd: msg.decodeRoomSummary,
  Ulls: msg.decodeUserList,
  Name: msg.decodeNameChange,
  UAre: msg.decodeU32,
  UsCt: msg.decodeU16,
  SNme: msg.decodeZString,
  Grup: msg.decodeGroupNotice,
  AuLs: cm.decodeAccountList,
  GrLs: cm.decodeGroupList,
  PrLs: cm.decodeBitLabels,
  CmLs: cm.decodeBitLabels,
  BnLs: cm.decodeBanList,
  SdLs: cm.decodeSoundList,
  DrIn: cm.decodeDirectoryInfo,
  Rtng: cm.decodeRating,
  REIn: cm.decodeRoomEditInfo,
  Perm: msg.decodeU32,
  ARmI: msg.decodeU16,
  FAck: msg.decodeZString,
};

test('every client message is encoded and framed byte for byte as the C++ client does', () => {
  for (const m of golden.client_messages) {
    const payload = encoders[m.name](m.fields);
    assert.equal(hex(payload ?? []), m.payload_hex, `${m.name} payload`);
    const frame = frameMessage(m.type, payload);
    assert.equal(hex(frame), m.frame_hex, `${m.name} frame`);
    // ... and the parser gives it back.
    const [back, ...rest] = new FrameParser().push(frame);
    assert.equal(rest.length, 0);
    assert.equal(typeText(back.type), m.type);
    assert.equal(hex(back.payload).slice(0, m.payload_hex.length), m.payload_hex);
  }
  const ident = golden.client_messages.find((m) => m.name === 'ident');
  assert.equal(ident.payload_hex.length / 2, msg.IDENT_SIZE);
  assert.equal(ident.fields.capabilities & msg.CAPS_WEB_CLIENT, msg.CAPS_WEB_CLIENT);
});

test('the client stream scrambles as the C++ scrambler does, and descrambles back in any pieces', () => {
  const { seed, plain_hex: plainHex, wire_hex: wireHex } = golden.client_stream;
  const plain = bytes(plainHex);
  const writer = new LinkWriter(seed);
  // Sent as several messages: the seed byte only ahead of the first.
  const half = 16 * Math.floor(plain.length / 32);
  const wire = Buffer.concat([writer.scramble(plain.subarray(0, half)), writer.scramble(plain.subarray(half))]);
  assert.equal(hex(wire), wireHex);
  for (const sizes of [[1], [5, 16, 3], [17], [wire.length]]) {
    assert.equal(hex(descrambleInPieces(wire, sizes)), plainHex, `pieces ${sizes}`);
  }
});

test('the server stream is descrambled, cut into messages and decoded as the C++ decoders read it', () => {
  const wire = bytes(golden.server_stream.wire_hex);
  for (const sizes of [[1], [3, 29, 64], [wire.length]]) {
    const parser = new FrameParser();
    const reader = new LinkReader();
    const got = [];
    for (let at = 0, i = 0; at < wire.length; i++) {
      const n = sizes[i % sizes.length];
      got.push(...parser.push(reader.descramble(wire.subarray(at, at + n))));
      at += n;
    }
    assert.equal(got.length, golden.server_messages.length, `pieces ${sizes}`);
    got.forEach((m, i) => {
      const want = golden.server_messages[i];
      assert.equal(typeText(m.type), want.type);
      assert.deepEqual(decoders[want.type](m.payload), want.expect, `${want.type} #${i}`);
    });
  }
});

test('a cut server payload is refused or read correctly, never misread', () => {
  for (const m of golden.server_messages) {
    const payload = bytes(m.payload_hex);
    assert.equal(decoders[m.type](new Uint8Array(0)), null, `${m.type} empty`);
    for (let n = 0; n < payload.length; n++) {
      const got = decoders[m.type](payload.subarray(0, n));
      if (got !== null) assert.deepEqual(got, m.expect, `${m.type} cut to ${n}`);
    }
  }
  // Counts that promise more records than the payload holds.
  assert.equal(msg.decodeRoomList(Uint8Array.from([0xff, 0xff, 0, 0])), null);
  assert.equal(msg.decodeUserList(Uint8Array.from([0xff, 0xff, 0xff, 0xff])), null);
  assert.equal(msg.decodeOccupants(Uint8Array.from([0, 1, 0, 0, 1, 2, 3])), null);
  assert.equal(cm.decodeBanList(Uint8Array.from([0x7f, 0xff, 0xff, 0xff])), null);
  assert.equal(cm.decodeAccountList(Uint8Array.from([0xff, 0xff])), null);
  // A sound record size below its own fields.
  assert.equal(cm.decodeSoundList(Uint8Array.from([0, 0, 0, 1, 0, 0, 0, 10, ...new Array(66).fill(0)])), null);
  // A ptext whose length byte runs past the end.
  assert.equal(msg.decodeSpeech(Uint8Array.from([0, 0, 0, 1, 9, 65])), null);
});

test('the shared vectors: permutation tables, scrambled streams and frames', () => {
  for (const [n, table] of Object.entries(vectors.link_tables.tables)) {
    const sender = buildSenderTable(Number(n));
    assert.deepEqual(Array.from(sender), table, `table ${n}`);
    const receiver = buildReceiverTable(Number(n));
    for (let i = 0; i < 128; i++) assert.equal(sender[receiver[i]], i);
  }
  for (const s of vectors.scramble_streams) {
    const wire = new LinkWriter(s.seed).scramble(bytes(s.plain_hex));
    assert.equal(hex(wire), s.wire_hex, `seed ${s.seed}`);
    assert.equal(hex(descrambleInPieces(wire, [7])), s.plain_hex, `seed ${s.seed} back`);
  }
  for (const f of vectors.frames) {
    assert.equal(hex(frameMessage(f.type, bytes(f.payload_hex))), f.frame_hex, f.type);
  }
  assert.throws(() => new LinkWriter(255), RangeError);
  assert.throws(() => new LinkWriter(0).scramble(new Uint8Array(15)), RangeError);
});

test('the frame parser holds partial messages and refuses a broken stream', () => {
  const talk = frameMessage('Talk', Uint8Array.from([0, 0, 0, 7, 2, 0x68, 0x69])); // user 7: "hi"
  const ping = frameMessage('Ping');
  const parser = new FrameParser();
  assert.deepEqual(parser.push(talk.subarray(0, 13)), []);
  const got = parser.push(Buffer.concat([talk.subarray(13), ping, ping.subarray(0, 5)]));
  assert.deepEqual(got.map((m) => typeText(m.type)), ['Talk', 'Ping']);
  assert.deepEqual(msg.decodeSpeech(got[0].payload), { speaker: 7, text: 'hi' });

  // A compressed message (never asked for) is flagged and has no payload.
  const packed = frameMessage(typeCode('Rmls') + 0x80000000, Uint8Array.from([0, 0, 0, 9, 1, 2]));
  const [flagged] = new FrameParser().push(packed);
  assert.equal(flagged.compressed, true);
  assert.equal(typeText(flagged.type), 'Rmls');
  assert.equal(flagged.payload.length, 0);

  const bad = (edit) => {
    const frame = frameMessage('Talk', msg.encodeText('hi'));
    edit(new DataView(frame.buffer));
    return () => new FrameParser().push(frame);
  };
  assert.throws(bad((v) => v.setUint32(0, 0x58714472)), FrameError); // another magic
  assert.throws(bad((v) => v.setUint32(4, 8)), FrameError); // shorter than its header
  assert.throws(bad((v) => v.setUint32(4, 0xffffff00)), FrameError); // absurdly long
});

test('texts are cut to their field without splitting a character', () => {
  const line = msg.encodeText('é'.repeat(200)); // 400 bytes of UTF-8
  assert.equal(line[0], 254);
  assert.equal(Buffer.from(line.subarray(1)).toString('utf8'), 'é'.repeat(127));
  const ident = msg.encodeIdent({ uuid: [1, 2, 3, 4], nickname: '€'.repeat(20) });
  const nick = ident.subarray(32, 64);
  assert.equal(Buffer.from(nick.subarray(0, nick.indexOf(0))).toString('utf8'), '€'.repeat(10));
  // Text from older clients that is not UTF-8 reads as Windows-1252.
  assert.equal(msg.decodeZString(Uint8Array.from([0x43, 0x61, 0x66, 0xe9, 0])), 'Café');
});
