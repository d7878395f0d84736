// Message framing: a 12-byte header (magic "MdCh", total length, type code)
// and a payload padded with zeros to a multiple of 16 bytes. All integers
// are big-endian.

export const MAGIC = 0x4d644368; // "MdCh"
export const HEADER_SIZE = 12;
const COMPRESSED = 0x80000000;
// The largest message accepted from the server; anything longer is taken
// as a broken stream.
export const MAX_MESSAGE_SIZE = 1 << 20;

// "Talk" -> 0x54616C6B.
export function typeCode(text) {
  if (typeof text !== 'string' || text.length !== 4) throw new RangeError('type code');
  let code = 0;
  for (let i = 0; i < 4; i++) code = code * 256 + (text.charCodeAt(i) & 0xff);
  return code;
}

export function typeText(code) {
  const c = code & 0x7fffffff;
  return String.fromCharCode(c >>> 24, (c >>> 16) & 0xff, (c >>> 8) & 0xff, c & 0xff);
}

export function frameMessage(type, payload = new Uint8Array(0)) {
  const length = Math.ceil((HEADER_SIZE + payload.length) / 16) * 16;
  const out = new Uint8Array(length);
  const view = new DataView(out.buffer);
  view.setUint32(0, MAGIC);
  view.setUint32(4, length);
  view.setUint32(8, typeof type === 'string' ? typeCode(type) : type);
  out.set(payload, HEADER_SIZE);
  return out;
}

export class FrameError extends Error {}

// Cuts the plain byte stream into messages. push() returns the complete
// messages, in order, as {type, payload} (the payload keeps its padding);
// an incomplete message waits. A wrong magic or an impossible length
// throws FrameError: the stream cannot be trusted after it.
export class FrameParser {
  constructor() {
    this.buffer = new Uint8Array(0);
  }

  push(plain) {
    const all = new Uint8Array(this.buffer.length + plain.length);
    all.set(this.buffer);
    all.set(plain, this.buffer.length);
    const view = new DataView(all.buffer);
    const messages = [];
    let at = 0;
    while (all.length - at > HEADER_SIZE) {
      if (view.getUint32(at) !== MAGIC) throw new FrameError('bad magic');
      const length = view.getUint32(at + 4);
      if (length < HEADER_SIZE || length > MAX_MESSAGE_SIZE) throw new FrameError('bad length');
      if (at + length > all.length) break;
      const type = view.getUint32(at + 8);
      // This client never asks for compressed messages; one that comes all
      // the same is passed on flagged and without its payload, so that
      // nobody reads the stream as fields.
      const compressed = (type & COMPRESSED) !== 0;
      messages.push({
        type: compressed ? type - COMPRESSED : type,
        compressed,
        payload: compressed ? new Uint8Array(0) : all.slice(at + HEADER_SIZE, at + length),
      });
      at += length;
    }
    this.buffer = all.slice(at);
    return messages;
  }
}
