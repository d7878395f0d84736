// The console's work on lists and files, apart from the page: what changed
// between two copies of a list, names that uploads may take, and a room
// description file given a new background picture.

import { textBytes } from './messages.js';
import { UPLOAD_NAME_LIMIT } from './console_messages.js';

const same = (a, b) => JSON.stringify(a) === JSON.stringify(b);

// What changed from before to after, two lists of records: the records
// added, removed and changed (as [old, new]), matched by key (a second
// record of one key is matched with the second), and whether only the
// order changed. key(record, index) names a record. none is true when the
// lists are equal.
export function listDifference(before, after, key) {
  const index = (list) => {
    const out = new Map();
    const seen = new Map();
    for (const [i, item] of list.entries()) {
      const k = key(item, i);
      const n = (seen.get(k) ?? 0) + 1;
      seen.set(k, n);
      out.set(`${k}\u0000${n}`, item);
    }
    return out;
  };
  const was = index(before);
  const now = index(after);
  const added = [...now].filter(([k]) => !was.has(k)).map(([, v]) => v);
  const removed = [...was].filter(([k]) => !now.has(k)).map(([, v]) => v);
  const changed = [...now].filter(([k, v]) => was.has(k) && !same(was.get(k), v)).map(([k, v]) => [was.get(k), v]);
  const none = added.length + removed.length + changed.length === 0 && same(before, after);
  const reordered = added.length + removed.length + changed.length === 0 && !none;
  return { added, removed, changed, reordered, none };
}

// Lines that tell a person what the difference holds, each record told by
// describe(record).
export function differenceLines(diff, describe) {
  const lines = [];
  for (const r of diff.added) lines.push(`added: ${describe(r)}`);
  for (const r of diff.removed) lines.push(`removed: ${describe(r)}`);
  for (const [was, now] of diff.changed) {
    const before = describe(was);
    const after = describe(now);
    lines.push(before === after ? `changed: ${after}` : `changed: ${before} → ${after}`);
  }
  if (diff.reordered) lines.push('the order changed');
  return lines;
}

// Whether the server takes name for an upload into its media folder: 1 to
// 31 bytes, no folder separators, not hidden. The page asks for plain
// names only (letters, digits, ".", "-", "_"), which every web server and
// file system takes as they are.
export function isUploadName(name) {
  return typeof name === 'string' && /^[A-Za-z0-9_-][A-Za-z0-9._-]*$/.test(name) &&
    textBytes(name, UPLOAD_NAME_LIMIT + 1).length <= UPLOAD_NAME_LIMIT;
}

// An upload name made from any file name: other characters become "-",
// and a name too long keeps its extension and loses the end of its stem.
export function uploadNameFrom(fileName) {
  const clean = String(fileName).replace(/[^A-Za-z0-9._-]/g, '-').replace(/^[.]+/, '');
  const dot = clean.lastIndexOf('.');
  const extension = dot > 0 && clean.length - dot <= 6 ? clean.slice(dot) : '';
  const stem = (extension ? clean.slice(0, dot) : clean).slice(0, UPLOAD_NAME_LIMIT - extension.length);
  const name = `${stem || 'file'}${extension}`;
  return isUploadName(name) ? name : null;
}

// The name a room's background picture is uploaded under: the stem of the
// room's description file with the picture's extension, so that
// "attic.rmd" gets "attic.png". null when that is no upload name.
export function pictureNameFor(roomFile, pictureFile) {
  const slash = roomFile.lastIndexOf('/');
  const file = roomFile.slice(slash + 1);
  const dot = file.lastIndexOf('.');
  const stem = dot > 0 ? file.slice(0, dot) : file;
  const ext = /\.[A-Za-z0-9]{1,5}$/.exec(pictureFile)?.[0]?.toLowerCase() ?? '';
  const name = `${stem}${ext}`;
  return ext !== '' && isUploadName(name) ? name : null;
}

// The text of a room description file with its background set to picture:
// the roomdesc tag's background replaced or added, the rest unchanged; an
// empty file becomes a bare roomdesc tag, and text without one is put
// inside one.
export function withBackground(text, picture) {
  const attribute = `background="${picture}"`;
  if (text === null || text.trim() === '') return `<roomdesc ${attribute}>\r</roomdesc>\r`;
  const tag = /<roomdesc\b([^>]*)>/i.exec(text);
  if (!tag) return `<roomdesc ${attribute}>\r${text}</roomdesc>\r`;
  const old = /\bbackground\s*=\s*(?:"[^"]*"|'[^']*'|[^\s"'>]+)/i;
  const attributes = old.test(tag[1]) ? tag[1].replace(old, attribute) : ` ${attribute}${tag[1]}`;
  return `${text.slice(0, tag.index)}<roomdesc${attributes}>${text.slice(tag.index + tag[0].length)}`;
}
