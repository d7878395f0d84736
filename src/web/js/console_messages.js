// Payloads of the site console: the account, ban, group and sound lists,
// the privilege and command-right names, the directory information and
// rating, room records and file uploads. Encoders return the payload only;
// decoders return null for a payload too short for its layout, as in
// messages.js.

import { Reader, Writer, result } from './messages.js';

export const ACCOUNT_RECORD_SIZE = 70;
export const GROUP_RECORD_SIZE = 44;
export const BAN_RECORD_SIZE = 72;
export const SOUND_RECORD_SIZE = 66;
export const DIRECTORY_INFO_SIZE = 2116;
export const ROOM_RECORD_SIZE = 592;
const BIT_LABEL_SIZE = 40;

// The privilege that opens the console, in "Perm".
export const SERVER_CONSOLE = 0x8;

// Measures of a ban record.
export const BAN_FLAGS = [
  [0x80000000, 'Banned'],
  [0x1, 'Pinned'],
  [0x2, 'Gagged'],
  [0x4, 'Prop-gagged'],
  [0x8, 'Name-gagged'],
  [0x10, 'In timeout'],
];

// Room flags, with the names the configuration file gives them.
export const ROOM_FLAGS = [
  [0x0001, 'gate'], [0x0002, 'members'], [0x0004, 'timeout'], [0x0008, 'private'],
  [0x0010, 'hidden'], [0x0020, 'staff'], [0x0040, 'nolooseprops'], [0x0080, 'nopaint'],
  [0x0100, 'nowhisper'], [0x0200, 'nocyborg'], [0x0400, 'nospoof'], [0x0800, 'is3D'],
];

// The longest upload name: the segment's name field holds it and a NUL.
export const UPLOAD_NAME_LIMIT = 31;

// --- What the console sends -----------------------------------------------

// "AuLs": u16 count, then 70-byte records: char[33] name, char[33]
// password, u8 plain (1: the server encodes the password), 1 padding, u16
// group. The server puts each record at the front of its list.
export function encodeAccountList(accounts) {
  const w = new Writer().u16(accounts.length);
  for (const a of accounts) {
    w.fixed(a.name, 33).fixed(a.password, 33).u8(a.plain ? 1 : 0).zeros(1).u16(a.group);
  }
  return w.done();
}

// "GrLs": u16 count, 2 ignored, 44-byte records of groups 1 and up.
export function encodeGroupList(groups) {
  const w = new Writer().u16(groups.length).zeros(2);
  for (const g of groups) w.fixed(g.name, 34).u16(g.rank).u32(g.privileges >>> 0).u32(g.commands >>> 0);
  return w.done();
}

// "BnLs": u32 count, then 72-byte records laid out as the server's list.
// The server changes the flags of the records that match; nothing else.
export function encodeBanList(bans) {
  const w = new Writer().u32(bans.length);
  for (const b of bans) {
    w.fixed(b.name, 36);
    for (const word of b.uuid) w.u32(word >>> 0);
    w.u32(b.clientNumber >>> 0);
    for (const word of b.reserved) w.u32(word >>> 0);
    w.u32(b.flags >>> 0);
  }
  return w.done();
}

// "SdLs": u32 count, u32 record size, then char[33] name, char[33] file.
export function encodeSoundList(sounds) {
  const w = new Writer().u32(sounds.length).u32(SOUND_RECORD_SIZE);
  for (const s of sounds) w.fixed(s.name, 33).fixed(s.source, 33);
  return w.done();
}

// "DrIn": the 2116-byte directory information record.
export function encodeDirectoryInfo(info) {
  return new Writer()
    .fixed(info.siteName, 65)
    .fixed(info.siteUrl, 512) // offset 65
    .fixed(info.siteImage, 512) // 577
    .fixed(info.description, 1024) // 1089
    .u8(info.hidden ? 1 : 0) // 2113
    .u8(info.privateSite ? 1 : 0)
    .u8(info.members ? 1 : 0)
    .done();
}

// "Rtng": u8 enabled, 1 unused, four 16-bit values (nudity, sex, language,
// violence; -1 for none goes out as 0xFFFF).
export function encodeRating(enabled, values) {
  const w = new Writer().u8(enabled ? 1 : 0).zeros(1);
  for (const v of values) w.u16(v);
  return w.done();
}

// "CrRm" and "UpRm": the 592-byte room record. The file name is both the
// room's description and its description file.
export function encodeRoomRecord(room) {
  return new Writer()
    .u16(room.id)
    .zeros(2)
    .u32(room.flags >>> 0)
    .fixed(room.name, 65) // offset 8
    .fixed(room.fileName, 512) // 73
    .zeros(1)
    .u16(room.width) // 586, signed
    .u16(room.height)
    .u16(room.maxOccupancy)
    .done();
}

// "fSeg": char[32] file name, u16 segment size, 2 unused, u32 the
// segment's offset (the server does not read it), u8 last, the bytes. An
// upload starts with "sUpl" and the name as a zstring.
export function encodeUploadSegment(fileName, offset, bytes, last) {
  const size = Math.min(bytes.length, 0xffff);
  return new Writer()
    .fixed(fileName, 32)
    .u16(size)
    .zeros(2)
    .u32(offset >>> 0)
    .u8(last ? 1 : 0)
    .raw(bytes.subarray(0, size))
    .done();
}

// --- What the server sends -------------------------------------------------

// "AuLs": u16 count, then 70-byte records: char[33] name, char[33] encoded
// password, u16 group, u16 index; newest first.
export function decodeAccountList(p) {
  const r = new Reader(p);
  const count = r.u16();
  if (!r.fits(count, ACCOUNT_RECORD_SIZE)) return null;
  const accounts = [];
  for (let i = 0; i < count; i++) {
    const name = r.fixed(33);
    const password = r.fixed(33);
    const group = r.u16();
    r.skip(2);
    accounts.push({ name, password, group });
  }
  return result(r, accounts);
}

// "GrLs": u8 1, 1 padding, u16 count (the groups after group 0), records.
export function decodeGroupList(p) {
  const r = new Reader(p);
  r.skip(2);
  const count = r.u16();
  if (!r.fits(count, GROUP_RECORD_SIZE)) return null;
  const groups = [];
  for (let i = 0; i < count; i++) {
    const name = r.fixed(34);
    const rank = r.u16();
    const privileges = r.u32();
    const commands = r.u32();
    groups.push({ name, rank, privileges, commands });
  }
  return result(r, groups);
}

// "PrLs", "CmLs": u16 count, 2 padding, then char[36] label, u32 bit.
export function decodeBitLabels(p) {
  const r = new Reader(p);
  const count = r.u16();
  r.skip(2);
  if (!r.fits(count, BIT_LABEL_SIZE)) return null;
  const labels = [];
  for (let i = 0; i < count; i++) {
    const label = r.fixed(36);
    const bit = r.u32();
    labels.push({ label, bit });
  }
  return result(r, labels);
}

// "BnLs": u32 count, then 72-byte records; newest first.
export function decodeBanList(p) {
  const r = new Reader(p);
  const count = r.u32();
  if (!r.fits(count, BAN_RECORD_SIZE)) return null;
  const bans = [];
  for (let i = 0; i < count; i++) {
    const name = r.fixed(36);
    const uuid = [r.u32(), r.u32(), r.u32(), r.u32()];
    const clientNumber = r.u32();
    const reserved = [r.u32(), r.u32(), r.u32()];
    const flags = r.u32();
    bans.push({ name, uuid, clientNumber, reserved, flags });
  }
  return result(r, bans);
}

// "SdLs": u32 count, u32 record size (66 or more), then the records.
export function decodeSoundList(p) {
  const r = new Reader(p);
  const count = r.u32();
  const size = r.u32();
  if (size < SOUND_RECORD_SIZE || !r.fits(count, size)) return null;
  const sounds = [];
  for (let i = 0; i < count; i++) {
    const name = r.fixed(33);
    const source = r.fixed(33);
    r.skip(size - SOUND_RECORD_SIZE);
    sounds.push({ name, source });
  }
  return result(r, sounds);
}

// "DrIn".
export function decodeDirectoryInfo(p) {
  const r = new Reader(p);
  const siteName = r.fixed(65);
  const siteUrl = r.fixed(512);
  const siteImage = r.fixed(512);
  const description = r.fixed(1024);
  const hidden = r.u8() !== 0;
  const privateSite = r.u8() !== 0;
  const members = r.u8() !== 0;
  return result(r, { siteName, siteUrl, siteImage, description, hidden, privateSite, members });
}

// "Rtng": four 16-bit values.
export function decodeRating(p) {
  const r = new Reader(p);
  const values = [r.u16(), r.u16(), r.u16(), r.u16()];
  return result(r, values);
}

// "REIn": the 1616-byte edit info of the room the console user is in.
export function decodeRoomEditInfo(p) {
  const r = new Reader(p);
  const id = r.u16();
  r.skip(2);
  const flags = r.u32();
  const name = r.fixed(577);
  const fileName = r.fixed(512);
  const description = r.fixed(512);
  r.skip(1);
  const width = r.i16();
  const height = r.i16();
  const maxOccupancy = r.i16();
  return result(r, { id, flags, name, fileName, description, width, height, maxOccupancy });
}
