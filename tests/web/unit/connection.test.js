// The page's chat link over a stand-in WebSocket: the stream is scrambled
// both ways whatever the message boundaries, and reconnecting stays
// bounded.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { webcrypto } from 'node:crypto';

import { ChatConnection } from '../../../src/web/js/connection.js';
import { LinkReader, LinkWriter } from '../../../src/web/js/scramble.js';
import { FrameParser, frameMessage, typeText } from '../../../src/web/js/frame.js';
import * as msg from '../../../src/web/js/messages.js';

// Older node releases lack these browser globals.
globalThis.crypto ??= webcrypto;
globalThis.CustomEvent ??= class extends Event {
  constructor(type, options = {}) {
    super(type);
    this.detail = options.detail ?? null;
  }
};

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// A socket the test drives: it records what the page sends and lets the
// test open, feed and close it.
class FakeSocket {
  constructor() {
    this.readyState = 0;
    this.sent = [];
  }
  send(bytes) {
    this.sent.push(bytes);
  }
  close() {
    this.readyState = 3;
  }
  open() {
    this.readyState = 1;
    this.onopen?.();
  }
  feed(bytes) {
    this.onmessage?.({ data: bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length) });
  }
  drop() {
    this.readyState = 3;
    this.onclose?.();
  }
}

function link(delays = [5, 5, 5]) {
  const sockets = [];
  const events = [];
  const c = new ChatConnection('ws://test/chat-socket', () => {
    const s = new FakeSocket();
    sockets.push(s);
    return s;
  }, delays);
  for (const name of ['open', 'message', 'down']) c.addEventListener(name, (e) => events.push([name, e.detail]));
  return { c, sockets, events };
}

test('both directions are scrambled, and messages are found across any cuts', () => {
  const { c, sockets, events } = link();
  c.connect();
  sockets[0].open();
  assert.ok(c.send('Talk', msg.encodeText('hi')));
  assert.ok(c.send('Ping'));
  // The server's side: the seed byte first, then the page's messages.
  const reader = new LinkReader();
  const parser = new FrameParser();
  const got = sockets[0].sent.flatMap((b) => parser.push(reader.descramble(b)));
  assert.deepEqual(got.map((m) => typeText(m.type)), ['Talk', 'Ping']);
  assert.equal(sockets[0].sent[0].length, 1 + 16);

  const writer = new LinkWriter(77);
  const you = frameMessage('UAre', Uint8Array.from([0, 0, 0, 42]));
  const wire = Buffer.concat([writer.scramble(you), writer.scramble(frameMessage('UsCt', Uint8Array.from([0, 3])))]);
  for (let at = 0; at < wire.length; at += 7) sockets[0].feed(wire.subarray(at, at + 7));
  const messages = events.filter(([name]) => name === 'message').map(([, m]) => m);
  assert.deepEqual(messages.map((m) => typeText(m.type)), ['UAre', 'UsCt']);
  assert.equal(msg.decodeU32(messages[0].payload), 42);
  c.stop();
  assert.equal(c.send('Ping'), false);
});

test('reconnecting stops after the last delay, and a sign-on starts the count afresh', async () => {
  const { c, sockets, events } = link([5, 7]);
  c.connect();
  sockets[0].open();
  c.signedOn();
  sockets[0].drop();
  // Every new socket fails at once: two more attempts, then no more.
  for (let i = 0; i < 20 && sockets.length < 3; i++) {
    await sleep(10);
    sockets.at(-1).drop();
  }
  await sleep(30);
  assert.equal(sockets.length, 3);
  const downs = events.filter(([name]) => name === 'down').map(([, d]) => d.retryIn);
  assert.deepEqual(downs, [5, 7, null]);

  // A link that opens and is dropped before signing on keeps counting;
  // one that signed on starts again from the first delay.
  c.connect();
  sockets.at(-1).open();
  sockets.at(-1).drop();
  await sleep(15);
  sockets.at(-1).open();
  sockets.at(-1).drop();
  assert.equal(events.filter(([name]) => name === 'down').at(-1)[1].retryIn, 7);
  c.connect();
  sockets.at(-1).open();
  sockets.at(-1).drop();
  await sleep(15);
  sockets.at(-1).open();
  c.signedOn();
  sockets.at(-1).drop();
  assert.equal(events.filter(([name]) => name === 'down').at(-1)[1].retryIn, 5);
  c.stop();
});

test('a broken stream drops the link and starts over with fresh link state', async () => {
  const { c, sockets, events } = link([5]);
  c.connect();
  sockets[0].open();
  const writer = new LinkWriter(3);
  const junk = new Uint8Array(16).fill(0x41); // no message magic
  sockets[0].feed(writer.scramble(junk));
  assert.equal(events.at(-1)[0], 'down');
  assert.equal(sockets[0].onmessage, null);
  await sleep(20);
  assert.equal(sockets.length, 2);
  sockets[1].open();
  c.send('Ping');
  // A new link sends its seed byte again.
  assert.equal(sockets[1].sent[0].length, 1 + 16);
  c.stop();
});
