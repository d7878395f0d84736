// Payloads of the chat messages this page sends and reads. Encoders return
// the payload only (frame.js adds the header); texts are UTF-8, cut at a
// character boundary to fit their field with its NUL. Decoders check every
// length and return null for a payload too short for its layout; trailing
// bytes (the frame's padding) are ignored.

export const IDENT_SIZE = 176;
export const CAPS_ACCEPTS_COMPRESSED = 0x1;
export const CAPS_WEB_CLIENT = 0x2;

const utf8 = new TextEncoder();
const strictUtf8 = new TextDecoder('utf-8', { fatal: true });
const latin = new TextDecoder('windows-1252');

// At most max bytes of text, never splitting a character.
export function textBytes(text, max) {
  const bytes = utf8.encode(String(text));
  if (bytes.length <= max) return bytes;
  let end = max;
  while (end > 0 && (bytes[end] & 0xc0) === 0x80) end--;
  return bytes.slice(0, end);
}

// Older clients write single-byte text; what is not valid UTF-8 is read as
// Windows-1252.
export function bytesText(bytes) {
  try {
    return strictUtf8.decode(bytes);
  } catch {
    return latin.decode(bytes);
  }
}

export class Writer {
  constructor() {
    this.bytes = [];
  }
  u8(v) {
    this.bytes.push(v & 0xff);
    return this;
  }
  u16(v) {
    return this.u8(v >>> 8).u8(v);
  }
  u32(v) {
    return this.u16(v >>> 16).u16(v & 0xffff);
  }
  zeros(n) {
    for (let i = 0; i < n; i++) this.bytes.push(0);
    return this;
  }
  raw(bytes) {
    for (const b of bytes) this.bytes.push(b);
    return this;
  }
  // A NUL-terminated, zero-padded field of width bytes.
  fixed(text, width) {
    const b = textBytes(text, width - 1);
    return this.raw(b).zeros(width - b.length);
  }
  zstring(text) {
    return this.raw(textBytes(text, 1023)).u8(0);
  }
  ptext(text) {
    const b = textBytes(text, 255);
    return this.u8(b.length).raw(b);
  }
  done() {
    return Uint8Array.from(this.bytes);
  }
}

export class Reader {
  constructor(payload) {
    this.p = payload;
    this.at = 0;
    this.ok = true;
  }
  have(n) {
    if (!this.ok || this.p.length - this.at < n) this.ok = false;
    return this.ok;
  }
  remaining() {
    return this.ok ? this.p.length - this.at : 0;
  }
  u8() {
    return this.have(1) ? this.p[this.at++] : 0;
  }
  u16() {
    if (!this.have(2)) return 0;
    const v = (this.p[this.at] << 8) | this.p[this.at + 1];
    this.at += 2;
    return v;
  }
  i16() {
    const v = this.u16();
    return v >= 0x8000 ? v - 0x10000 : v;
  }
  u32() {
    if (!this.have(4)) return 0;
    const v = this.u16() * 0x10000;
    return v + this.u16();
  }
  skip(n) {
    if (this.have(n)) this.at += n;
  }
  // A fixed field: the text up to its first NUL.
  fixed(width) {
    if (!this.have(width)) return '';
    const field = this.p.subarray(this.at, this.at + width);
    this.at += width;
    const nul = field.indexOf(0);
    return bytesText(field.subarray(0, nul < 0 ? width : nul));
  }
  // A zstring whose NUL must be there.
  zstring() {
    const nul = this.ok ? this.p.indexOf(0, this.at) : -1;
    if (nul < 0) {
      this.ok = false;
      return '';
    }
    const text = bytesText(this.p.subarray(this.at, nul));
    this.at = nul + 1;
    return text;
  }
  // A ptext whose bytes must all be there.
  ptext() {
    const n = this.u8();
    if (!this.have(n)) return '';
    const text = bytesText(this.p.subarray(this.at, this.at + n));
    this.at += n;
    return text;
  }
  // count records of size bytes must fit before anything is read for them.
  fits(count, size) {
    if (!this.ok || count > Math.floor(this.remaining() / size)) this.ok = false;
    return this.ok;
  }
}

// --- What the page sends ---------------------------------------------------

// "Idn2": the 176-byte ident record.
export function encodeIdent(ident) {
  const w = new Writer();
  for (let i = 0; i < 4; i++) w.u32(ident.uuid[i] >>> 0);
  w.u32(ident.clientNumber ?? 0)
    .zeros(12)
    .fixed(ident.nickname ?? '', 32) // offset 32
    .zeros(2)
    .u16(ident.voice ?? 0) // 66
    .u32(ident.colour ?? 0) // 68
    .u16(ident.face ?? 0) // 72
    .zeros(30)
    .u16(ident.room ?? 0) // 104, signed: -1 goes out as 0xFFFF
    .u16(ident.capabilities ?? 0) // 106
    .zeros(2)
    .fixed(ident.account ?? '', 33) // 110
    .fixed(ident.password ?? '', 33); // 143
  return w.done();
}

// "Talk" and "RmMs".
export function encodeText(text) {
  return new Writer().ptext(text).done();
}

// "xTlk": i16 target count, 2 unused, the target ids, ptext.
export function encodeWhisper(targets, text) {
  const w = new Writer().u16(targets.length).zeros(2);
  for (const id of targets) w.u32(id);
  return w.ptext(text).done();
}

// "UsMv".
export function encodeMove(x, y) {
  return new Writer().u16(x).u16(y).done();
}

// "FNum".
export function encodeFace(face) {
  return new Writer().u16(face).done();
}

// "FRGB": 0x00RRGGBB.
export function encodeColour(colour) {
  return new Writer().u32(colour >>> 0).done();
}

// "RmRq": 0 asks for a gate, -1 for the timeout room.
export function encodeRoomRequest(room) {
  return new Writer().u16(room).done();
}

// "Name" and other one-zstring payloads.
export function encodeZString(text) {
  return new Writer().zstring(text).done();
}

// "auth": the account name and the password as typed, two zstrings; the
// server encodes the password itself before comparing.
export function encodeAuth(name, password) {
  return new Writer().zstring(name).zstring(password).done();
}

// --- What the server sends -------------------------------------------------

// value, or null when the reader ran out of payload.
export function result(r, value) {
  return r.ok ? value : null;
}

// "Talk", "xTlk": u32 speaker (0 = the server), ptext.
export function decodeSpeech(p) {
  const r = new Reader(p);
  const speaker = r.u32();
  const text = r.ptext();
  return result(r, { speaker, text });
}

// "CrTk": a whisper from another room.
export function decodeCrossRoomWhisper(p) {
  const r = new Reader(p);
  const speaker = r.u32();
  const colour = r.u32();
  const name = r.fixed(33);
  const text = r.ptext();
  return result(r, { speaker, colour, name, text });
}

// "UsMv".
export function decodeUserMove(p) {
  const r = new Reader(p);
  const user = r.u32();
  const x = r.i16();
  const y = r.i16();
  return result(r, { user, x, y });
}

// "FNum": u32 user, u16 face.
export function decodeUserFace(p) {
  const r = new Reader(p);
  const user = r.u32();
  const value = r.u16();
  return result(r, { user, value });
}

// "FRGB": u32 user, u32 colour.
export function decodeUserColour(p) {
  const r = new Reader(p);
  const user = r.u32();
  const value = r.u32();
  return result(r, { user, value });
}

// "UAre", "Perm", "RmLv".
export function decodeU32(p) {
  const r = new Reader(p);
  return result(r, r.u32());
}

// "UsCt", "Kill", "SvCp".
export function decodeU16(p) {
  const r = new Reader(p);
  return result(r, r.u16());
}

// "SNme", "LMsg", "Room", "BUrl".
export function decodeZString(p) {
  const r = new Reader(p);
  return result(r, r.zstring());
}

// "Grup": u16 rank, char[34] group name.
export function decodeGroupNotice(p) {
  const r = new Reader(p);
  const rank = r.u16();
  const name = r.fixed(34);
  return result(r, { rank, name });
}

function readRoomSummary(r) {
  const id = r.u16();
  const occupants = r.u16();
  const closed = r.u8() !== 0;
  const name = r.fixed(65);
  return { id, occupants, closed, name };
}

// "RlUd", "RmNm": one 70-byte room summary.
export function decodeRoomSummary(p) {
  const r = new Reader(p);
  return result(r, readRoomSummary(r));
}

// "Rmls": u16 count, then the summaries.
export function decodeRoomList(p) {
  const r = new Reader(p);
  const count = r.u16();
  if (!r.fits(count, 70)) return null;
  const rooms = [];
  for (let i = 0; i < count; i++) rooms.push(readRoomSummary(r));
  return result(r, rooms);
}

// "RmIn": the 74-byte room info.
export function decodeRoomInfo(p) {
  const r = new Reader(p);
  const id = r.u16();
  const width = r.i16();
  const height = r.i16();
  const name = r.fixed(65);
  r.skip(1);
  const flags = r.u16();
  return result(r, { id, width, height, name, flags });
}

function readUserSummary(r) {
  const id = r.u32();
  const x = r.i16();
  const y = r.i16();
  const name = r.fixed(36);
  const badge = r.u32();
  const voice = r.i16();
  r.skip(2);
  const colour = r.u32();
  const face = r.u16();
  r.skip(2);
  return { id, x, y, name, badge, voice, colour, face };
}

// "RmEn": one 60-byte user summary.
export function decodeUserSummary(p) {
  const r = new Reader(p);
  return result(r, readUserSummary(r));
}

// "RmOc": u16 count, 2 padding, the user summaries.
export function decodeOccupants(p) {
  const r = new Reader(p);
  const count = r.u16();
  r.skip(2);
  if (!r.fits(count, 60)) return null;
  const users = [];
  for (let i = 0; i < count; i++) users.push(readUserSummary(r));
  return result(r, users);
}

function readUserListEntry(r) {
  const id = r.u32();
  const name = r.fixed(34);
  const room = r.u16();
  return { id, name, room };
}

// "Ulls": u32 count, then 40-byte entries.
export function decodeUserList(p) {
  const r = new Reader(p);
  const count = r.u32();
  if (!r.fits(count, 40)) return null;
  const users = [];
  for (let i = 0; i < count; i++) users.push(readUserListEntry(r));
  return result(r, users);
}

// "UlUd": one entry; room 0 means gone, or out of sight.
export function decodeUserListUpdate(p) {
  const r = new Reader(p);
  return result(r, readUserListEntry(r));
}

// "Name": u32 user, i16 x, i16 y, the name in a 52-byte field (48 for
// older clients; a name is at most 32 characters, so 48 hold it).
export function decodeNameChange(p) {
  const r = new Reader(p);
  const user = r.u32();
  const x = r.i16();
  const y = r.i16();
  const name = r.fixed(48);
  return result(r, { user, x, y, name });
}
