// The console's Site and Rooms sections: the directory information and the
// rating; the room list, the settings of the room the page is in, new
// rooms, room deletion, and uploads of a room's picture and description
// file with their progress.

import * as cm from './console_messages.js';
import { decodeRoomInfo, decodeRoomList, encodeRoomRequest, encodeText } from './messages.js';
import { REFUSALS } from './console_requests.js';
import { ListEditor, el, report } from './console_editor.js';
import { typeCode } from './frame.js';
import { isUploadName, pictureNameFor, withBackground } from './console_lists.js';
import { upload } from './upload.js';

const $ = (id) => document.getElementById(id);
const RATING = ['nudity', 'sex', 'language', 'violence'];
const PICTURE = /\.(jpe?g|png|gif|bmp|svg|webp)$/i;
const signed16 = (v) => (v >= 0x8000 ? v - 0x10000 : v);
const ROOM_INFO = typeCode('RmIn');

// --- Site ---------------------------------------------------------------------

export class SiteSection {
  constructor(siteConsole) {
    this.c = siteConsole;
    const requests = siteConsole.requests;
    const fetch = async () => [await requests.ask('REDI', undefined, { reply: 'DrIn', accept: cm.decodeDirectoryInfo })];
    const flags = (i) => ['hidden', 'privateSite', 'members'].filter((k) => i[k]).join(', ') || 'listed, open';
    this.editor = new ListEditor($('site-form'), {
      noun: 'site settings',
      fetch,
      key: () => 'site',
      describe: (i) => `name “${i.siteName}”, address ${i.siteUrl || '(none)'}, picture ${i.siteImage || '(none)'}, ` +
        `${i.description.length} characters of description, ${flags(i)}`,
      render: () => this.render(),
      send: ([info]) => requests.tellThen('DrIn', cm.encodeDirectoryInfo(info), fetch),
      confirmed: (sent, now) => JSON.stringify(sent) === JSON.stringify(now),
    });
    const texts = { 'site-name-input': 'siteName', 'site-url': 'siteUrl', 'site-image': 'siteImage', 'site-description': 'description' };
    for (const [id, key] of Object.entries(texts)) {
      $(id).addEventListener('input', (e) => this.edit(key, e.target.value));
    }
    for (const [id, key] of Object.entries({ 'site-hidden': 'hidden', 'site-private': 'privateSite', 'site-members': 'members' })) {
      $(id).addEventListener('change', (e) => this.edit(key, e.target.checked));
    }
    $('site-form').addEventListener('submit', (e) => {
      e.preventDefault();
      this.editor.save();
    });
    $('rating-form').addEventListener('submit', (e) => {
      e.preventDefault();
      this.saveRating();
    });
  }

  edit(key, value) {
    if (this.editor.work.length === 0) return;
    this.editor.work[0][key] = value;
    this.editor.changed();
  }

  load() {
    this.editor.load(false);
    const values = this.c.rating ?? [0xffff, 0xffff, 0xffff, 0xffff];
    $('rating-enabled').checked = this.c.rating !== null;
    RATING.forEach((k, i) => { $(`rating-${k}`).value = String(signed16(values[i])); });
  }

  render() {
    const info = this.editor.work[0];
    $('site-name-input').value = info.siteName;
    $('site-url').value = info.siteUrl;
    $('site-image').value = info.siteImage;
    $('site-description').value = info.description;
    $('site-hidden').checked = info.hidden;
    $('site-private').checked = info.privateSite;
    $('site-members').checked = info.members;
  }

  async saveRating() {
    const feedback = $('rating-feedback');
    const values = RATING.map((k) => Math.trunc(Number($(`rating-${k}`).value)));
    if (values.some((v) => !Number.isFinite(v) || v < -1 || v > 32767)) {
      return report(feedback, 'Each rating is a number from -1 (none) up.', 'error');
    }
    const enabled = $('rating-enabled').checked;
    report(feedback, 'Saving…', 'busy');
    try {
      await this.c.tellAndCheck('Rtng', cm.encodeRating(enabled, values.map((v) => v & 0xffff)));
      this.c.rating = enabled ? values.map((v) => v & 0xffff) : null;
      report(feedback, enabled ? 'Saved; every visitor was sent the rating.' : 'Saved; the site has no rating now.', 'ok');
    } catch (e) {
      report(feedback, e.message, 'error');
    }
    return undefined;
  }
}

// --- Rooms --------------------------------------------------------------------

function flagBoxes(container, flags, onchange) {
  container.replaceChildren(el('legend', { text: container.dataset.legend }),
    ...cm.ROOM_FLAGS.map(([bit, name]) => el('label', { class: 'check' },
      el('input', { type: 'checkbox', checked: (flags & bit) !== 0, 'data-flag': name,
        onchange: (e) => onchange(bit, e.target.checked) }), ` ${name}`)));
}

function flagsOf(container) {
  let flags = 0;
  for (const box of container.querySelectorAll('input[data-flag]')) {
    if (box.checked) flags |= cm.ROOM_FLAGS.find(([, n]) => n === box.dataset.flag)[0];
  }
  return flags;
}

// A description file's text, byte for byte as characters, from its bytes
// (".rmz": "rmz ", the length, a zlib stream) and back.
async function through(bytes, Stream) {
  const stream = new Blob([bytes]).stream().pipeThrough(new Stream('deflate'));
  return new Uint8Array(await new Response(stream).arrayBuffer());
}
async function descriptionText(bytes, compressed) {
  const content = compressed ? await through(bytes.subarray(8), DecompressionStream) : bytes;
  let text = '';
  for (const b of content) text += String.fromCharCode(b);
  return text;
}
async function descriptionBytes(text, compressed) {
  const content = Uint8Array.from(text, (ch) => ch.charCodeAt(0) & 0xff);
  if (!compressed) return content;
  const packed = await through(content, CompressionStream);
  const out = new Uint8Array(8 + packed.length);
  out.set([0x72, 0x6d, 0x7a, 0x20]); // "rmz "
  new DataView(out.buffer).setUint32(4, content.length);
  out.set(packed, 8);
  return out;
}

export class RoomsSection {
  constructor(siteConsole) {
    this.c = siteConsole;
    const requests = siteConsole.requests;
    const fetch = async () => [await requests.ask('REIn', undefined, { reply: 'REIn', accept: cm.decodeRoomEditInfo, refusals: [] })];
    const same = (a, b) => ['id', 'flags', 'name', 'fileName', 'width', 'height', 'maxOccupancy'].every((k) => a[k] === b[k]);
    this.editor = new ListEditor($('room-edit-form'), {
      noun: 'room settings',
      fetch,
      key: () => 'room',
      describe: (r) => `#${r.id} “${r.name}”, file ${r.fileName}, ${r.width}×${r.height}, ` +
        `${r.maxOccupancy} people, flags ${cm.ROOM_FLAGS.filter(([b]) => r.flags & b).map(([, n]) => n).join(' ') || 'none'}`,
      render: () => this.renderRoom(),
      send: ([room]) => requests.tellThen('UpRm', cm.encodeRoomRecord(room), fetch, [REFUSALS.author]),
      confirmed: ([sent], [now]) => same(sent, now),
    });
    const texts = { 'room-edit-name': 'name', 'room-edit-file': 'fileName' };
    for (const [id, key] of Object.entries(texts)) $(id).addEventListener('input', (e) => this.edit(key, e.target.value));
    for (const [id, key] of Object.entries({ 'room-edit-id': 'id', 'room-edit-width': 'width', 'room-edit-height': 'height',
      'room-edit-occupancy': 'maxOccupancy' })) {
      $(id).addEventListener('input', (e) => this.edit(key, Math.trunc(Number(e.target.value)) || 0));
    }
    $('room-edit-form').addEventListener('submit', (e) => {
      e.preventDefault();
      this.editor.save();
    });
    $('room-delete').addEventListener('click', () => this.deleteRoom());
    $('room-picture-upload').addEventListener('click', () => this.uploadPicture());
    $('room-description-upload').addEventListener('click', () => this.uploadDescription());
    $('room-create-form').addEventListener('submit', (e) => {
      e.preventDefault();
      this.createRoom();
    });
    $('room-create-id').addEventListener('change', () => {
      if ($('room-create-file').dataset.auto !== 'no') $('room-create-file').value = `room${$('room-create-id').value}.rmd`;
    });
    $('room-create-file').addEventListener('input', () => { $('room-create-file').dataset.auto = 'no'; });
    flagBoxes($('room-create-flags'), 0, () => {});
  }

  get visible() {
    return !$('console-rooms').hidden && !$('panel-console').hidden;
  }

  // Any message; the settings follow the page into another room.
  receive(type) {
    if (type === ROOM_INFO && this.visible) this.editor.load(false);
  }

  async load() {
    this.listRooms();
    this.editor.load(false);
    try {
      const free = await this.c.requests.ask('ARmI', undefined, { reply: 'ARmI', accept: (p) => (p.length >= 2 ? (p[0] << 8) | p[1] : undefined), refusals: [] });
      if ($('room-create-id').value === '') {
        $('room-create-id').value = String(free);
        $('room-create-id').dispatchEvent(new Event('change'));
      }
    } catch {
      // The form works without a suggested number.
    }
  }

  // The room list; with without, the first one that no longer has that
  // room.
  fetchRooms(without = null) {
    const accept = (p) => {
      const list = decodeRoomList(p);
      return list !== null && (without === null || !list.some((r) => r.id === without)) ? list : undefined;
    };
    return this.c.requests.ask('Rmls', undefined, { reply: 'Rmls', accept, refusals: [] });
  }

  async listRooms(list = null) {
    const feedback = $('room-list-feedback');
    try {
      const rooms = list ?? await this.fetchRooms();
      const here = this.c.host.room().id;
      $('console-room-list').replaceChildren(...rooms.map((r) => el('li', { class: 'record', 'data-room-id': String(r.id) },
        el('span', { class: 'record-title', text: r.name }),
        el('span', { class: 'meta', text: `#${r.id} · ${r.occupants} in${r.closed ? ' · closed' : ''}` }),
        r.id === here ? el('span', { class: 'meta', text: 'you are here' })
          : el('button', { type: 'button', text: 'Go and edit', 'aria-label': `Go to ${r.name} and edit it`,
            onclick: () => this.goTo(r) }))));
      report(feedback, '');
      return rooms;
    } catch (e) {
      report(feedback, e.message, 'error');
      return null;
    }
  }

  async goTo(room) {
    report($('room-list-feedback'), `Going to ${room.name}…`, 'busy');
    try {
      await this.c.requests.ask('RmRq', encodeRoomRequest(room.id), { reply: 'RmIn',
        accept: (p) => (decodeRoomInfo(p)?.id === room.id ? true : undefined), refusals: [] });
      await this.listRooms();
      await this.editor.load();
    } catch (e) {
      report($('room-list-feedback'), `${room.name}: ${e.message}`, 'error');
    }
  }

  edit(key, value) {
    if (this.editor.work.length === 0) return;
    this.editor.work[0][key] = value;
    this.editor.changed();
  }

  renderRoom() {
    const r = this.editor.work[0];
    $('room-edit-title').textContent = `${r.name} (#${r.id})`;
    $('room-edit-id').value = String(r.id);
    $('room-edit-name').value = r.name;
    $('room-edit-file').value = r.fileName;
    $('room-edit-width').value = String(r.width);
    $('room-edit-height').value = String(r.height);
    $('room-edit-occupancy').value = String(r.maxOccupancy);
    flagBoxes($('room-edit-flags'), r.flags, (bit, on) => {
      this.edit('flags', on ? (r.flags | bit) >>> 0 : (r.flags & ~bit) >>> 0);
    });
  }

  async createRoom() {
    const feedback = $('room-create-feedback');
    const room = {
      id: Math.trunc(Number($('room-create-id').value)),
      name: $('room-create-name').value.trim(),
      fileName: $('room-create-file').value.trim(),
      width: Math.trunc(Number($('room-create-width').value)),
      height: Math.trunc(Number($('room-create-height').value)),
      maxOccupancy: Math.trunc(Number($('room-create-occupancy').value)),
      flags: flagsOf($('room-create-flags')),
    };
    if (!(room.id >= 1 && room.id <= 32767)) return report(feedback, 'A room number is from 1 to 32767.', 'error');
    if (room.name === '' || room.fileName === '') return report(feedback, 'A room needs a name and a file name.', 'error');
    report(feedback, 'Creating…', 'busy');
    try {
      await this.c.requests.ask('CrRm', cm.encodeRoomRecord(room), { reply: 'RmIn',
        accept: (p) => (decodeRoomInfo(p)?.id === room.id ? true : undefined),
        refusals: [REFUSALS.create, REFUSALS.roomInUse] });
      report(feedback, `Created ${room.name}; you are in it.`, 'ok');
      $('room-create-name').value = '';
      $('room-create-id').value = '';
      delete $('room-create-file').dataset.auto;
      await this.load();
      await this.editor.load();
    } catch (e) {
      report(feedback, e.message, 'error');
    }
    return undefined;
  }

  async deleteRoom() {
    const feedback = $('room-delete-feedback');
    const room = this.editor.base?.[0];
    if (!room) return undefined;
    if (!window.confirm(`Delete ${room.name}? Everybody in it goes to the gate.`)) return undefined;
    report(feedback, 'Deleting…', 'busy');
    try {
      const rooms = await this.c.requests.tellThen('Talk', encodeText('\'delroom'), () => this.fetchRooms(room.id),
        [REFUSALS.command]);
      await this.listRooms(rooms);
      report(feedback, `Deleted ${room.name}.`, 'ok');
      await this.editor.load();
    } catch (e) {
      report(feedback, e.message, 'error');
    }
    return undefined;
  }

  // The room's description file, its name fit for an upload.
  uploadTarget(feedback) {
    const room = this.editor.base?.[0];
    if (!room) {
      report(feedback, 'No room is loaded.', 'error');
      return null;
    }
    if (!isUploadName(room.fileName)) {
      report(feedback, `The room's file “${room.fileName}” cannot be uploaded to: give the room a plain file name ` +
        'of at most 31 letters, digits, dots, dashes or underscores first.', 'error');
      return null;
    }
    return room;
  }

  async send(parts, feedback) {
    const bar = $('room-upload-progress');
    const total = parts.reduce((n, p) => n + p.bytes.length, 0) || 1;
    let before = 0;
    bar.value = 0;
    bar.hidden = false;
    try {
      for (const part of parts) {
        report(feedback, `Uploading ${part.name}…`, 'busy');
        await upload(this.c.requests, part.name, part.bytes, (done) => { bar.value = (before + done) / total; });
        before += part.bytes.length;
      }
      bar.value = 1;
      report(feedback, `Uploaded ${parts.map((p) => p.name).join(' and ')}.`, 'ok');
    } catch (e) {
      report(feedback, e.message, 'error');
    }
  }

  // A background picture: the picture under the room's own name, then the
  // description file with its background pointing at it.
  async uploadPicture() {
    const feedback = $('room-upload-feedback');
    const file = $('room-picture-file').files[0];
    if (!file) return report(feedback, 'Choose a picture first.', 'error');
    const room = this.uploadTarget(feedback);
    if (!room) return undefined;
    const bytes = new Uint8Array(await file.arrayBuffer());
    if (PICTURE.test(room.fileName)) return this.send([{ name: room.fileName, bytes }], feedback);
    const picture = pictureNameFor(room.fileName, file.name);
    if (picture === null) return report(feedback, 'That file has no picture extension (.png, .jpg, …).', 'error');
    const compressed = /\.rmz$/i.test(room.fileName);
    let text = null;
    try {
      const answer = await fetch(new URL(room.fileName, this.c.host.mediaRoot), { cache: 'no-cache' });
      if (answer.ok) text = await descriptionText(new Uint8Array(await answer.arrayBuffer()), compressed);
    } catch {
      // No description file yet: a new one is made.
    }
    const description = await descriptionBytes(withBackground(text, picture), compressed);
    return this.send([{ name: picture, bytes }, { name: room.fileName, bytes: description }], feedback);
  }

  async uploadDescription() {
    const feedback = $('room-upload-feedback');
    const file = $('room-description-file').files[0];
    if (!file) return report(feedback, 'Choose a description file first.', 'error');
    const room = this.uploadTarget(feedback);
    if (!room) return undefined;
    return this.send([{ name: room.fileName, bytes: new Uint8Array(await file.arrayBuffer()) }], feedback);
  }
}
