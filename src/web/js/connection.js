// One chat link over a WebSocket: the server's byte stream travels
// unchanged in binary frames (their boundaries mean nothing), scrambled as
// on any chat connection. Reconnects after a drop, with a growing and
// bounded delay.

import { LinkReader, LinkWriter } from './scramble.js';
import { FrameParser, frameMessage } from './frame.js';

// Delays before the attempts that follow a drop, in milliseconds; after
// the last one the page stops and offers a button.
export const RECONNECT_DELAYS = [1000, 2000, 4000, 8000, 15000, 30000, 30000, 30000];

function randomSeed() {
  const b = new Uint8Array(1);
  crypto.getRandomValues(b);
  return b[0] % 255;
}

// Events: 'open' (a new link is up: sign on now), 'message' (detail:
// {type, payload, compressed}), 'down' (detail: {retryIn} in ms, or null
// when no attempt follows).
export class ChatConnection extends EventTarget {
  constructor(url, makeSocket = (u) => new WebSocket(u), delays = RECONNECT_DELAYS) {
    super();
    this.url = url;
    this.makeSocket = makeSocket;
    this.delays = delays;
    this.socket = null;
    this.attempt = 0;
    this.timer = null;
    this.stopped = true;
  }

  get up() {
    return this.socket !== null && this.socket.readyState === 1;
  }

  connect() {
    this.stopped = false;
    this.attempt = 0;
    this.open();
  }

  // The server took the sign-on: the next drop starts the delays afresh. A
  // link that opens and drops again at once keeps counting, so a refusal
  // cannot turn into an endless loop.
  signedOn() {
    this.attempt = 0;
  }

  // Ends the link and every further attempt.
  stop() {
    this.stopped = true;
    clearTimeout(this.timer);
    this.timer = null;
    this.drop();
  }

  // Sends one message; false when the link is down.
  send(type, payload) {
    if (!this.up) return false;
    this.socket.send(this.writer.scramble(frameMessage(type, payload)));
    return true;
  }

  open() {
    clearTimeout(this.timer);
    this.timer = null;
    this.drop();
    this.writer = new LinkWriter(randomSeed());
    this.reader = new LinkReader();
    this.parser = new FrameParser();
    const socket = this.makeSocket(this.url);
    socket.binaryType = 'arraybuffer';
    this.socket = socket;
    socket.onopen = () => {
      if (socket !== this.socket) return;
      this.dispatchEvent(new CustomEvent('open'));
    };
    socket.onmessage = (event) => {
      if (socket !== this.socket || !(event.data instanceof ArrayBuffer)) return;
      let messages;
      try {
        messages = this.parser.push(this.reader.descramble(new Uint8Array(event.data)));
      } catch {
        // A broken stream cannot be resynchronised: start over.
        this.lost();
        return;
      }
      for (const m of messages) {
        if (socket !== this.socket) return; // a handler stopped the link
        this.dispatchEvent(new CustomEvent('message', { detail: m }));
      }
    };
    socket.onclose = () => {
      if (socket === this.socket) this.lost();
    };
    socket.onerror = () => {};
  }

  drop() {
    if (this.socket === null) return;
    const socket = this.socket;
    this.socket = null;
    socket.onopen = socket.onmessage = socket.onclose = socket.onerror = null;
    try {
      socket.close();
    } catch {
      // already closed
    }
  }

  lost() {
    this.drop();
    if (this.stopped) return;
    if (this.attempt >= this.delays.length) {
      this.stopped = true;
      this.dispatchEvent(new CustomEvent('down', { detail: { retryIn: null } }));
      return;
    }
    const delay = this.delays[this.attempt++];
    this.dispatchEvent(new CustomEvent('down', { detail: { retryIn: delay } }));
    this.timer = setTimeout(() => this.open(), delay);
  }
}
