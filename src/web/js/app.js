// The browser chat page: signs on over the site's chat socket, shows the
// room with its people, talk and whispers, and sends what the visitor does.

import { ChatConnection } from './connection.js';
import { SiteConsole } from './console.js';
import { typeCode } from './frame.js';
import * as msg from './messages.js';
import { EXPRESSIONS, cssColour, drawFace } from './face.js';
import { findRoomPicture } from './room_picture.js';

const T = Object.fromEntries(
  ['Idn2', 'Talk', 'xTlk', 'CrTk', 'UsMv', 'FNum', 'FRGB', 'Name', 'RmRq', 'Rmls', 'RlUd',
   'Room', 'RmIn', 'RmOc', 'RmEn', 'RmLv', 'Ulls', 'UlUd', 'auth', 'UAre', 'Grup', 'SNme',
   'LMsg', 'UsCt', 'Ping', 'Kill', 'Perm', 'FChn'].map((c) => [c, typeCode(c)]));

const STORE = {
  uuid: 'zanth.uuid',
  // The user id of this browser's newest sign-on, whichever tab made it.
  userId: 'zanth.userId',
  nickname: 'zanth.nickname',
  colour: 'zanth.colour',
  face: 'zanth.face',
  account: 'zanth.account',
};
const MAX_LOG_LINES = 500;
const FACE_SIZE = 44; // room pixels
const GAP = 3; // screen pixels between a face, its name and its bubble
const KILL_REASONS = {
  1: 'you are banned',
  2: 'a moderator removed you',
  4: 'this site is for members only',
  5: 'this site needs an account name',
  6: 'the account name or password is wrong',
};

const $ = (id) => document.getElementById(id);

function stored(key, fallback = '') {
  try {
    return localStorage.getItem(key) ?? fallback;
  } catch {
    return fallback;
  }
}

function store(key, value) {
  try {
    localStorage.setItem(key, value);
  } catch {
    // Private windows may refuse storage; the page works without it.
  }
}

// The browser's client UUID: made once, then kept. The server refuses a
// UUID whose fourth word is zero.
function clientUuid() {
  let hex = stored(STORE.uuid);
  if (!/^[0-9a-f]{32}$/.test(hex) || /^0{8}$/.test(hex.slice(24))) {
    const bytes = new Uint8Array(16);
    do crypto.getRandomValues(bytes); while (bytes[12] + bytes[13] + bytes[14] + bytes[15] === 0);
    hex = Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
    store(STORE.uuid, hex);
  }
  return [0, 8, 16, 24].map((i) => parseInt(hex.slice(i, i + 8), 16));
}

class ChatPage {
  constructor() {
    this.uuid = clientUuid();
    this.selfId = 0;
    this.room = { id: 0, width: 512, height: 384, name: '' };
    this.occupants = new Map(); // id -> {id, name, x, y, colour, face, node}
    this.names = new Map(); // every id seen -> name
    this.rooms = new Map(); // id -> room summary
    this.people = new Map(); // id -> user list entry
    this.peopleKnown = false; // a user list has come since the last sign-on
    // This browser's earlier connections that a sign-on replaces: the
    // server drops them at once, and their departure is not someone's.
    this.earlier = new Set();
    this.lastId = 0; // this tab's user id before its link dropped
    this.target = null; // whisper target {id, name}
    this.password = ''; // kept in memory only, for signing on again
    this.pictureToken = 0;
    this.consoleClosed = false; // the console was open when the privilege went
    this.roomDesc = ''; // the room's description: its description file
    this.pictureUrl = null; // the room picture shown, and its object URL
    this.pictureObject = null;
    this.mediaRoot = new URL('../', location.href);
    this.tabs = typeof BroadcastChannel === 'function' ? new BroadcastChannel('zanth-web') : null;
    // A page loaded over https talks over wss, as browsers require.
    const scheme = location.protocol === 'https:' ? 'wss' : 'ws';
    this.link = new ChatConnection(`${scheme}://${location.host}/chat-socket`);
    this.console = new SiteConsole({
      send: (code, payload) => this.link.send(typeCode(code), payload),
      people: () => this.people,
      rooms: () => this.rooms,
      room: () => this.room,
      selfId: () => this.selfId,
      mediaRoot: this.mediaRoot,
    });
  }

  start() {
    this.bindControls();
    this.console.bind();
    if (typeof ResizeObserver === 'function') {
      new ResizeObserver(() => this.arrangeAll()).observe($('room'));
    }
    this.link.addEventListener('open', () => this.signOn());
    this.link.addEventListener('message', (e) => this.receive(e.detail));
    this.link.addEventListener('down', (e) => this.down(e.detail.retryIn));
    if (this.tabs) this.tabs.onmessage = (e) => this.otherTab(e.data);
    this.setStatus('connecting', 'Connecting…');
    this.link.connect();
  }

  // --- Sending --------------------------------------------------------------

  send(code, payload) {
    if (!this.link.send(T[code], payload)) this.log('alert', 'Not connected; nothing was sent.');
  }

  signOn() {
    this.setStatus('connecting', 'Signing on…');
    this.send('Idn2', msg.encodeIdent({
      uuid: this.uuid,
      nickname: stored(STORE.nickname),
      colour: Number(stored(STORE.colour, '0')) >>> 0,
      face: Number(stored(STORE.face, '0')) & 0xffff,
      room: this.room.id, // back to the room of a dropped link
      capabilities: msg.CAPS_WEB_CLIENT,
      account: this.password ? stored(STORE.account) : '',
      password: this.password,
    }));
  }

  talk(line) {
    if (line === '') return;
    if (this.target !== null) {
      this.send('xTlk', msg.encodeWhisper([this.target.id], line));
    } else {
      this.send('Talk', msg.encodeText(line));
    }
  }

  moveTo(clientX, clientY) {
    const box = $('room').getBoundingClientRect();
    if (box.width === 0 || box.height === 0) return;
    const clamp = (v, max) => Math.max(0, Math.min(max, Math.round(v)));
    const x = clamp(((clientX - box.left) / box.width) * this.room.width, this.room.width);
    const y = clamp(((clientY - box.top) / box.height) * this.room.height, this.room.height);
    this.send('UsMv', msg.encodeMove(x, y));
    // The server tells the others; the mover hears only of a corrected move.
    const me = this.occupants.get(this.selfId);
    if (me) this.place(me, x, y);
  }

  whisperTo(id, name) {
    if (id === this.selfId || id === 0) return;
    this.target = { id, name };
    $('whisper-name').textContent = name;
    $('whisper-target').hidden = false;
    $('talk-input').focus();
  }

  clearWhisper() {
    this.target = null;
    $('whisper-target').hidden = true;
  }

  // --- Receiving ------------------------------------------------------------

  receive(m) {
    const p = m.payload;
    this.console.receive(m.type, p);
    switch (m.type) {
      case T.UAre: {
        const id = msg.decodeU32(p);
        if (id === null) return;
        this.selfId = id;
        this.noteEarlierConnections(id);
        this.link.signedOn();
        this.setStatus('online', 'Connected');
        if (this.tabs) this.tabs.postMessage({ signedOn: this.uuid.join('.') });
        this.markSelf();
        // The room list names the rooms people are in; the user list, kept
        // up to date from now on, gives the header its count.
        this.send('Rmls');
        this.send('Ulls');
        return;
      }
      case T.SNme: {
        const name = msg.decodeZString(p);
        if (name !== null && name !== '') {
          $('site-name').textContent = name;
          document.title = name;
        }
        return;
      }
      case T.UsCt:
        // The server counts connections, identified or not, and tells of a
        // change only every few seconds; the header counts the people list.
        return;
      case T.Grup: {
        const g = msg.decodeGroupNotice(p);
        if (g !== null) $('group-line').textContent = `Your group: ${g.name}.`;
        return;
      }
      case T.Perm: {
        // A sign-on with an account first has the group every visitor
        // gets, then the account's: the console closes meanwhile and opens
        // again.
        const bits = msg.decodeU32(p);
        if (bits === null) return;
        const open = !$('panel-console').hidden;
        if (this.console.setPrivileges(bits)) {
          if (this.consoleClosed) this.showPanel('console');
        } else if (open) {
          this.showPanel('log');
          this.consoleClosed = true;
        }
        return;
      }
      case T.FChn: {
        // A file of the media folder changed: the room's picture or its
        // description file may be among them.
        const name = msg.decodeZString(p);
        if (name !== null && this.showsFile(name)) this.showPicture(true);
        return;
      }
      case T.Room:
        this.enterRoom(msg.decodeZString(p) ?? '');
        return;
      case T.RmIn: {
        const info = msg.decodeRoomInfo(p);
        if (info !== null) this.roomInfo(info);
        return;
      }
      case T.RmOc:
        for (const u of msg.decodeOccupants(p) ?? []) this.addOccupant(u);
        return;
      case T.RmEn: {
        const u = msg.decodeUserSummary(p);
        if (u === null) return;
        // At sign-on the room is entered before the server names us.
        if (this.selfId === 0) this.selfId = u.id;
        this.addOccupant(u);
        if (u.id === this.selfId) this.log('event', `You are in ${this.room.name}.`);
        else this.log('event', { id: u.id, name: u.name }, ' enters.');
        return;
      }
      case T.RmLv: {
        const id = msg.decodeU32(p);
        const who = this.occupants.get(id);
        if (!who) return;
        who.node.remove();
        this.occupants.delete(id);
        if (!this.earlier.has(id)) this.log('event', { id, name: who.name }, ' leaves.');
        return;
      }
      case T.UsMv: {
        const mv = msg.decodeUserMove(p);
        const who = mv && this.occupants.get(mv.user);
        if (who) this.place(who, mv.x, mv.y);
        return;
      }
      case T.FNum:
      case T.FRGB: {
        const v = m.type === T.FNum ? msg.decodeUserFace(p) : msg.decodeUserColour(p);
        const who = v && this.occupants.get(v.user);
        if (!who) return;
        if (m.type === T.FNum) who.face = v.value;
        else who.colour = v.value;
        who.node.querySelector('svg').replaceWith(drawFace(who.colour, who.face));
        return;
      }
      case T.Name: {
        const n = msg.decodeNameChange(p);
        if (n === null) return;
        const old = this.names.get(n.user) ?? 'Someone';
        this.names.set(n.user, n.name);
        const who = this.occupants.get(n.user);
        if (who) {
          who.name = n.name;
          const label = who.node.querySelector('.name');
          label.textContent = n.name;
          label.title = n.name;
          who.node.dataset.name = n.name;
          this.arrange(who);
        }
        this.log('event', { id: n.user, name: old }, ' is now ', { id: n.user, name: n.name }, '.');
        return;
      }
      case T.Talk: {
        const s = msg.decodeSpeech(p);
        if (s === null) return;
        if (s.speaker === 0) {
          this.console.notice(s.text);
          this.log('notice', s.text);
        } else {
          this.say(s.speaker, s.text, false);
        }
        return;
      }
      case T.xTlk: {
        const s = msg.decodeSpeech(p);
        if (s !== null) this.say(s.speaker, s.text, true);
        return;
      }
      case T.CrTk: {
        const w = msg.decodeCrossRoomWhisper(p);
        if (w === null) return;
        this.names.set(w.speaker, w.name);
        this.log('whisper', { id: w.speaker, name: w.name }, `: (whisper from another room) ${w.text}`);
        return;
      }
      case T.LMsg: {
        const line = msg.decodeZString(p);
        if (line !== null) this.log('list', line);
        return;
      }
      case T.Rmls:
        this.rooms.clear();
        for (const r of msg.decodeRoomList(p) ?? []) this.rooms.set(r.id, r);
        this.showRooms();
        return;
      case T.RlUd: {
        const r = msg.decodeRoomSummary(p);
        if (r === null) return;
        this.rooms.set(r.id, r);
        this.showRooms();
        return;
      }
      case T.Ulls:
        this.people.clear();
        for (const u of msg.decodeUserList(p) ?? []) this.people.set(u.id, u);
        this.peopleKnown = true;
        // The server answers only after it has dropped the connections that
        // this sign-on replaced: whoever leaves from now on is someone.
        this.earlier.clear();
        this.showPeople();
        return;
      case T.UlUd: {
        const u = msg.decodeUserListUpdate(p);
        if (u === null) return;
        if (u.room === 0) this.people.delete(u.id);
        else this.people.set(u.id, u);
        this.showPeople();
        return;
      }
      case T.Ping:
        // Any message is a sign of life; the server ignores a "Ping".
        this.send('Ping');
        return;
      case T.Kill: {
        const reason = msg.decodeU16(p);
        this.link.stop();
        this.console.reset();
        this.log('alert', `The server closed the connection: ${KILL_REASONS[reason] ?? `reason ${reason}`}.`);
        this.setStatus('down', 'Disconnected');
        $('reconnect').hidden = false;
        return;
      }
      default:
        // Props, sounds, spot states and the rest are not shown here.
    }
  }

  // A new room begins with its description: the old room's people go.
  enterRoom(desc) {
    for (const who of this.occupants.values()) who.node.remove();
    this.occupants.clear();
    this.roomDesc = desc;
    this.showPicture(false);
  }

  // Whether the media file name is the room's description file or picture.
  showsFile(name) {
    const last = (url) => decodeURIComponent(new URL(url).pathname.split('/').pop());
    try {
      return [new URL(this.roomDesc, this.mediaRoot).href, this.pictureUrl].some((u) => u && last(u) === name);
    } catch {
      return false;
    }
  }

  // Shows the room's picture, read afresh (past the browser's cache) when
  // fresh: after a file of the room changed.
  showPicture(fresh) {
    const token = ++this.pictureToken;
    const picture = $('room-picture');
    if (!fresh) {
      picture.hidden = true;
      picture.removeAttribute('src');
      this.pictureUrl = null;
    }
    const fetchFn = fresh ? (u) => fetch(u, { cache: 'no-cache' }) : fetch;
    findRoomPicture(this.roomDesc, this.mediaRoot, fetchFn).then(async (url) => {
      if (token !== this.pictureToken) return;
      if (url === null) {
        picture.hidden = true;
        return;
      }
      let src = url;
      if (fresh) {
        const answer = await fetch(url, { cache: 'no-cache' }).catch(() => null);
        if (!answer?.ok || token !== this.pictureToken) return;
        if (this.pictureObject) URL.revokeObjectURL(this.pictureObject);
        this.pictureObject = src = URL.createObjectURL(await answer.blob());
      }
      this.pictureUrl = url;
      picture.onload = () => {
        if (token === this.pictureToken) picture.hidden = false;
      };
      picture.onerror = () => {
        picture.hidden = true;
      };
      picture.src = src;
    });
  }

  roomInfo(info) {
    const width = info.width > 0 ? info.width : 512;
    const height = info.height > 0 ? info.height : 384;
    this.room = { id: info.id, width, height, name: info.name };
    const room = $('room');
    room.style.setProperty('--w', String(width));
    room.style.setProperty('--h', String(height));
    room.dataset.roomId = String(info.id);
    $('room-title').textContent = info.name;
    for (const who of this.occupants.values()) this.place(who, who.x, who.y);
  }

  addOccupant(u) {
    this.occupants.get(u.id)?.node.remove();
    this.names.set(u.id, u.name);
    const node = document.createElement('button');
    node.type = 'button';
    node.className = 'avatar';
    node.dataset.id = String(u.id);
    node.dataset.name = u.name;
    const label = document.createElement('span');
    label.className = 'name';
    label.textContent = u.name;
    label.title = u.name;
    node.append(drawFace(u.colour, u.face), label);
    node.addEventListener('click', (e) => {
      e.stopPropagation();
      const who = this.occupants.get(u.id);
      if (who) this.whisperTo(who.id, who.name);
    });
    const who = { id: u.id, name: u.name, x: u.x, y: u.y, colour: u.colour, face: u.face, node };
    this.occupants.set(u.id, who);
    if (u.id === this.selfId) node.classList.add('self');
    // In the room first: its name is measured to be placed.
    $('avatars').append(node);
    this.place(who, u.x, u.y);
  }

  markSelf() {
    for (const who of this.occupants.values()) who.node.classList.toggle('self', who.id === this.selfId);
  }

  // The face is centred on its place: the node is the face's box, and a
  // margin of half its width (a percentage of the room's width, as is any
  // margin) moves it up and left.
  place(who, x, y) {
    who.x = x;
    who.y = y;
    const style = who.node.style;
    const width = (FACE_SIZE / this.room.width) * 100;
    style.left = `${(x / this.room.width) * 100}%`;
    style.top = `${(y / this.room.height) * 100}%`;
    style.width = `${width}%`;
    style.marginLeft = style.marginTop = `${-width / 2}%`;
    this.arrange(who);
  }

  // Puts a face's name and speech bubble around it and inside the room:
  // the name under the face (over it at the bottom edge), the bubble over
  // both (under them where there is no room above), each moved sideways
  // off the room's edges. Worked out from the face's place, in screen
  // pixels, not from where the face is drawn while it glides there.
  arrange(who) {
    const room = $('room');
    const w = room.clientWidth;
    const h = room.clientHeight;
    if (w === 0 || h === 0) return;
    // Keeps [start, start + size] inside [0, end]; at 0 when it cannot.
    const inside = (start, size, end) => Math.max(0, Math.min(end - size, start));
    const face = (FACE_SIZE / this.room.width) * w;
    const left = (who.x / this.room.width) * w - face / 2;
    const top = (who.y / this.room.height) * h - face / 2;

    const label = who.node.querySelector('.name');
    label.style.maxWidth = `min(12em, ${w}px)`;
    const labelWidth = label.offsetWidth;
    const labelHeight = label.offsetHeight;
    let labelTop = top + face + GAP;
    if (labelTop + labelHeight > h) labelTop = top - GAP - labelHeight;
    const labelLeft = inside(left + (face - labelWidth) / 2, labelWidth, w);
    label.style.left = `${labelLeft - left}px`;
    label.style.top = `${labelTop - top}px`;

    const bubble = who.node.querySelector('.bubble');
    if (!bubble) return;
    bubble.style.maxWidth = `min(14rem, ${w}px)`;
    bubble.style.maxHeight = `${h}px`;
    const bubbleWidth = bubble.offsetWidth;
    const bubbleHeight = bubble.offsetHeight;
    const groupTop = Math.min(top, labelTop);
    const groupBottom = Math.max(top + face, labelTop + labelHeight);
    let bubbleTop = groupTop - GAP - bubbleHeight;
    if (bubbleTop < 0) {
      // Below when it fits there, or when there is more room below; kept
      // inside the room then, over part of the face if need be.
      const below = groupBottom + GAP;
      if (below + bubbleHeight <= h || h - groupBottom > groupTop) bubbleTop = below;
    }
    bubbleTop = inside(bubbleTop, bubbleHeight, h);
    const bubbleLeft = inside(left + (face - bubbleWidth) / 2, bubbleWidth, w);
    bubble.style.left = `${bubbleLeft - left}px`;
    bubble.style.top = `${bubbleTop - top}px`;
  }

  arrangeAll() {
    for (const who of this.occupants.values()) this.arrange(who);
  }

  say(speaker, text, whisper) {
    const who = { id: speaker, name: this.names.get(speaker) ?? `#${speaker}` };
    if (whisper) {
      // The echo of one's own whisper names no target; it comes back at
      // once, to the target still chosen.
      const to = speaker === this.selfId ? this.target : null;
      if (to) this.log('whisper', who, ': (whisper to ', to, `) ${text}`);
      else this.log('whisper', who, `: (whisper) ${text}`);
    } else {
      this.log('talk', who, `: ${text}`);
    }
    const occupant = this.occupants.get(speaker);
    if (!occupant) return;
    occupant.node.querySelector('.bubble')?.remove();
    const bubble = document.createElement('span');
    bubble.className = whisper ? 'bubble whisper' : 'bubble';
    bubble.textContent = text;
    occupant.node.append(bubble);
    this.arrange(occupant);
    setTimeout(() => bubble.remove(), Math.min(15000, 4000 + text.length * 60));
  }

  // --- The link and other tabs ----------------------------------------------

  down(retryIn) {
    this.console.reset();
    if (this.selfId !== 0) this.lastId = this.selfId;
    this.selfId = 0;
    this.forgetPeople();
    if (retryIn === null) {
      this.setStatus('down', 'Disconnected');
      $('reconnect').hidden = false;
      this.log('alert', 'The connection is lost.');
    } else {
      this.setStatus('down', `Connection lost; trying again in ${Math.round(retryIn / 1000)} s`);
    }
  }

  // Two tabs of one browser share its UUID, and the server keeps only the
  // newest sign-on of a UUID: the older tab steps aside instead of taking
  // the place back. The server may have cut this tab's link already, before
  // the other tab's word arrives; then its reconnecting stops too.
  otherTab(data) {
    if (!data || data.signedOn !== this.uuid.join('.')) return;
    this.link.stop();
    this.console.reset();
    this.selfId = 0;
    this.forgetPeople();
    this.setStatus('down', 'Continued in another tab');
    $('reconnect').hidden = false;
  }

  // Without a link nobody is known to be there.
  forgetPeople() {
    this.people.clear();
    this.peopleKnown = false;
    this.showPeople();
  }

  // A sign-on with this browser's identity replaces the connection that
  // signed on with it last, from this tab (a link that dropped unnoticed)
  // or from another one. Those ids are remembered until the user list
  // comes, which the server sends only after it dropped them.
  noteEarlierConnections(id) {
    this.earlier.clear();
    const last = Number(stored(STORE.userId, '0'));
    for (const earlier of [last, this.lastId]) {
      if (Number.isInteger(earlier) && earlier > 0 && earlier !== id) this.earlier.add(earlier);
    }
    this.lastId = id;
    store(STORE.userId, String(id));
  }

  setStatus(state, text) {
    const status = $('status');
    status.dataset.state = state;
    status.textContent = text;
  }

  // --- The page -------------------------------------------------------------

  // One line of the log from parts: texts, and people as {id, name}, whose
  // names are never broken across lines and are clicked to whisper.
  log(kind, ...parts) {
    const li = document.createElement('li');
    li.className = kind;
    for (const part of parts) {
      if (typeof part === 'string') {
        li.append(part);
        continue;
      }
      const who = document.createElement('span');
      who.className = 'who';
      who.textContent = part.name;
      who.title = part.name;
      who.addEventListener('click', () => this.whisperTo(part.id, this.names.get(part.id) ?? part.name));
      li.append(who);
    }
    const list = $('log');
    const panel = $('panel-log');
    const atEnd = panel.scrollHeight - panel.scrollTop - panel.clientHeight < 40;
    list.append(li);
    while (list.childElementCount > MAX_LOG_LINES) list.firstElementChild.remove();
    if (atEnd) panel.scrollTop = panel.scrollHeight;
  }

  showRooms() {
    const list = $('rooms');
    list.replaceChildren();
    for (const r of this.rooms.values()) {
      const li = document.createElement('li');
      const b = document.createElement('button');
      b.type = 'button';
      b.dataset.roomId = String(r.id);
      const meta = document.createElement('span');
      meta.className = 'meta';
      meta.textContent = ` (${r.occupants})${r.closed ? ' closed' : ''}${r.id === this.room.id ? ' · here' : ''}`;
      b.append(r.name, meta);
      b.addEventListener('click', () => this.send('RmRq', msg.encodeRoomRequest(r.id)));
      li.append(b);
      list.append(li);
    }
  }

  showPeople() {
    const count = this.people.size;
    $('user-count').textContent = this.peopleKnown ? `${count} online` : '';
    const list = $('people');
    list.replaceChildren();
    for (const u of this.people.values()) {
      this.names.set(u.id, u.name);
      const li = document.createElement('li');
      const b = document.createElement('button');
      b.type = 'button';
      b.dataset.id = String(u.id);
      const where = document.createElement('span');
      where.className = 'where';
      where.textContent = ` — ${this.rooms.get(u.room)?.name ?? `room ${u.room}`}`;
      b.append(u.id === this.selfId ? `${u.name} (you)` : u.name, where);
      b.addEventListener('click', () => this.whisperTo(u.id, u.name));
      li.append(b);
      list.append(li);
    }
  }

  showPanel(name) {
    for (const tab of document.querySelectorAll('.tabs [role="tab"]')) {
      const on = tab.dataset.panel === name;
      tab.setAttribute('aria-selected', String(on));
      $(`panel-${tab.dataset.panel}`).hidden = !on;
    }
    document.body.classList.toggle('console-open', name === 'console');
    this.consoleClosed = false;
    // Each list is asked for afresh; the server then keeps it up to date.
    if (name === 'rooms') this.send('Rmls');
    if (name === 'people') this.send('Ulls');
    if (name === 'console') this.console.open();
  }

  bindControls() {
    $('room').addEventListener('click', (e) => this.moveTo(e.clientX, e.clientY));
    $('talk-form').addEventListener('submit', (e) => {
      e.preventDefault();
      const input = $('talk-input');
      this.talk(input.value);
      input.value = '';
    });
    $('whisper-clear').addEventListener('click', () => this.clearWhisper());
    for (const tab of document.querySelectorAll('.tabs [role="tab"]')) {
      tab.addEventListener('click', () => this.showPanel(tab.dataset.panel));
    }
    $('reconnect').addEventListener('click', () => {
      $('reconnect').hidden = true;
      this.setStatus('connecting', 'Connecting…');
      this.link.connect();
    });

    const nick = $('nick');
    nick.value = stored(STORE.nickname);
    $('nick-form').addEventListener('submit', (e) => {
      e.preventDefault();
      const name = nick.value.trim();
      store(STORE.nickname, name);
      if (name !== '' && this.selfId !== 0) this.send('Name', msg.encodeZString(name));
    });

    const colour = $('colour');
    const saved = Number(stored(STORE.colour, '0')) >>> 0;
    if (saved !== 0) colour.value = cssColour(saved);
    colour.addEventListener('change', () => {
      const value = parseInt(colour.value.slice(1), 16) >>> 0;
      store(STORE.colour, String(value));
      this.send('FRGB', msg.encodeColour(value));
    });

    const face = $('face');
    EXPRESSIONS.forEach((label, i) => face.add(new Option(label, String(i))));
    face.value = String((Number(stored(STORE.face, '0')) >>> 0) % EXPRESSIONS.length);
    face.addEventListener('change', () => {
      store(STORE.face, face.value);
      this.send('FNum', msg.encodeFace(Number(face.value)));
    });

    const account = $('account');
    account.value = stored(STORE.account);
    $('account-form').addEventListener('submit', (e) => {
      e.preventDefault();
      const password = $('password');
      store(STORE.account, account.value);
      this.password = password.value;
      password.value = '';
      this.send('auth', msg.encodeAuth(account.value, this.password));
    });
  }
}

new ChatPage().start();
