// The Console tab: staff whose group has the "Server console" privilege run
// the site from here: accounts, bans, groups, sounds, the site's directory
// information and rating, and rooms. Every list is the server's, fetched
// afresh before a change is saved (console_editor.js).

import * as cm from './console_messages.js';
import { encodeWhisper } from './messages.js';
import { ConsoleRequests, REFUSALS } from './console_requests.js';
import { ListEditor, clone, el, field, report } from './console_editor.js';
import { RoomsSection, SiteSection } from './console_rooms.js';
import { typeCode } from './frame.js';

const $ = (id) => document.getElementById(id);
const hex = (v, digits) => (v >>> 0).toString(16).toUpperCase().padStart(digits, '0');
const SECTIONS = ['accounts', 'bans', 'groups', 'sounds', 'site', 'rooms'];

// The ban key: the low 16 bits of the third UUID word and the fourth.
export const banKey = (b) => hex(b.uuid[2] & 0xffff, 4) + hex(b.uuid[3], 8);

// A password the server's encoding takes: 1 to 32 characters from space to
// tilde, of which the first 10 count.
const goodPassword = (p) => /^[ -~]{1,32}$/.test(p);
const goodName = (n) => /^[^\u0000-\u001f\u007f]{1,32}$/.test(n) && new TextEncoder().encode(n).length <= 32;

export class SiteConsole {
  // host: send(code, payload) (false when the link is down), people() (the
  // user list: id -> {id, name, room}), rooms() (id -> room summary),
  // room() (the room the page is in: {id, name}), selfId(), mediaRoot.
  constructor(host) {
    this.host = host;
    this.requests = new ConsoleRequests((code, payload) => host.send(code, payload));
    this.allowed = false;
    this.section = 'accounts';
    this.groups = []; // groups 1 and up, as last fetched
    this.labels = null; // {privileges, commands}
    this.sounds = []; // the server keeps every page's copy current
    this.rating = null; // the values, when the site has a rating
  }

  bind() {
    for (const b of document.querySelectorAll('#console-nav button')) {
      b.addEventListener('click', () => this.showSection(b.dataset.section));
    }
    this.accountEditor = this.makeAccountEditor();
    this.banEditor = this.makeBanEditor();
    this.groupEditor = this.makeGroupEditor();
    this.soundEditor = this.makeSoundEditor();
    this.site = new SiteSection(this);
    this.rooms = new RoomsSection(this);
  }

  // --- The link -------------------------------------------------------------

  // "Perm": the tab is there only for a group with the console privilege.
  setPrivileges(bits) {
    this.allowed = (bits & cm.SERVER_CONSOLE) !== 0;
    $('console-tab').hidden = !this.allowed;
    return this.allowed;
  }

  receive(type, payload) {
    this.requests.receive(type, payload);
    if (type === typeCode('SdLs')) {
      const list = cm.decodeSoundList(payload);
      if (list !== null) this.sounds = list;
    } else if (type === typeCode('Rtng')) {
      const values = cm.decodeRating(payload);
      if (values !== null) this.rating = values;
    }
    this.rooms?.receive(type, payload);
  }

  // A server notice: true when it answers one of the console's requests.
  notice(text) {
    return this.requests.notice(text);
  }

  reset() {
    this.requests.reset();
  }

  // The tab was opened.
  open() {
    this.showSection(this.section);
  }

  showSection(name) {
    if (!SECTIONS.includes(name)) return;
    this.section = name;
    for (const b of document.querySelectorAll('#console-nav button')) {
      b.setAttribute('aria-pressed', String(b.dataset.section === name));
    }
    for (const s of SECTIONS) $(`console-${s}`).hidden = s !== name;
    const editors = { accounts: this.accountEditor, bans: this.banEditor, groups: this.groupEditor, sounds: this.soundEditor };
    if (editors[name]) editors[name].load(false);
    if (name === 'site') this.site.load();
    if (name === 'rooms') this.rooms.load();
  }

  // --- Shared fetches -----------------------------------------------------------

  async fetchGroups() {
    const list = await this.requests.ask('REGl', undefined, { reply: 'GrLs', accept: cm.decodeGroupList });
    this.groups = list;
    return list;
  }

  async fetchLabels() {
    if (this.labels === null) {
      const [privileges, commands] = await Promise.all([
        this.requests.ask('REPm', undefined, { reply: 'PrLs', accept: cm.decodeBitLabels }),
        this.requests.ask('RECm', undefined, { reply: 'CmLs', accept: cm.decodeBitLabels }),
      ]);
      this.labels = { privileges, commands };
    }
    return this.labels;
  }

  // Sends a message the server does not answer, then a small request
  // behind it: resolves once the server has taken the message.
  tellAndCheck(code, payload) {
    return this.requests.tellThen(code, payload,
      () => this.requests.ask('REPm', undefined, { reply: 'PrLs', accept: cm.decodeBitLabels }));
  }

  groupName(number) {
    if (number === 0) return 'Unregistered';
    return this.groups[number - 1]?.name ?? `group ${number}`;
  }

  groupOptions(selected) {
    const options = [el('option', { value: '0', text: 'Unregistered (0)' })];
    this.groups.forEach((g, i) => options.push(el('option', { value: String(i + 1), text: `${g.name} (${i + 1})` })));
    for (const o of options) o.selected = Number(o.value) === selected;
    return options;
  }

  // --- Accounts -------------------------------------------------------------

  makeAccountEditor() {
    const section = $('console-accounts');
    const fetch = async () => {
      const [, list] = await Promise.all([
        this.fetchGroups(),
        this.requests.ask('REAu', undefined, { reply: 'AuLs', accept: cm.decodeAccountList }),
      ]);
      return list.map((a) => ({ ...a, plain: false }));
    };
    const editor = new ListEditor(section, {
      noun: 'accounts',
      fetch,
      key: (a) => a.name,
      describe: (a) => `${a.name} in ${this.groupName(a.group)}${a.plain ? ' (new password)' : ''}`,
      render: () => this.renderAccounts(editor),
      // The server puts every record it takes at the front of its list, so
      // the list goes out backwards to keep its order.
      send: (list) => this.requests.tellThen('AuLs', cm.encodeAccountList([...list].reverse()), fetch),
      // New passwords come back encoded, the rest as they went.
      confirmed: (sent, now) => sent.length === now.length && sent.every((a, i) => a.name === now[i].name &&
        a.group === now[i].group && (a.plain || a.password === now[i].password)),
    });
    $('account-add-form').addEventListener('submit', (e) => {
      e.preventDefault();
      const name = $('account-add-name').value.trim();
      const password = $('account-add-password').value;
      const feedback = editor.ui.feedback;
      if (!goodName(name)) return report(feedback, 'An account name is 1 to 32 characters.', 'error');
      if (!goodPassword(password)) {
        return report(feedback, 'A password is 1 to 32 characters from space to ~ (the first 10 count).', 'error');
      }
      if (editor.work.some((a) => a.name === name)) return report(feedback, `There is an account called ${name} already.`, 'error');
      editor.work.unshift({ name, password, group: Number($('account-add-group').value), plain: true });
      $('account-add-name').value = '';
      $('account-add-password').value = '';
      this.renderAccounts(editor);
      editor.changed();
      return undefined;
    });
    return editor;
  }

  renderAccounts(editor) {
    const adding = $('account-add-group');
    adding.replaceChildren(...this.groupOptions(Number(adding.value || 1)));
    const rows = editor.work.map((a, i) => {
      const group = el('select', { 'aria-label': `Group of ${a.name}`,
        onchange: (e) => { a.group = Number(e.target.value); editor.changed(); } }, ...this.groupOptions(a.group));
      const password = el('input', { type: 'password', maxlength: '32', autocomplete: 'new-password',
        placeholder: a.plain ? 'new, to be saved' : 'unchanged', 'aria-label': `New password for ${a.name}`,
        value: a.plain ? a.password : '',
        onchange: (e) => {
          const value = e.target.value;
          if (value !== '' && !goodPassword(value)) {
            report(editor.ui.feedback, 'A password is 1 to 32 characters from space to ~.', 'error');
            return;
          }
          const was = editor.base.find((b) => b.name === a.name);
          if (value === '' && !was) {
            report(editor.ui.feedback, `The new account ${a.name} needs a password.`, 'error');
            return;
          }
          Object.assign(a, value === '' ? { password: was.password, plain: false } : { password: value, plain: true });
          editor.changed();
        } });
      const remove = el('button', { type: 'button', text: 'Delete', 'aria-label': `Delete account ${a.name}`,
        onclick: () => { editor.work.splice(i, 1); this.renderAccounts(editor); editor.changed(); } });
      return el('li', { class: 'record', 'data-name': a.name },
        el('span', { class: 'record-title', text: a.name }),
        field('Group', group), field('New password', password), remove);
    });
    $('console-accounts').querySelector('.records').replaceChildren(...rows);
  }

  // --- Bans -------------------------------------------------------------------

  makeBanEditor() {
    const section = $('console-bans');
    const fetch = () => this.requests.ask('REBl', undefined, { reply: 'BnLs', accept: cm.decodeBanList });
    const flagsText = (flags) => cm.BAN_FLAGS.filter(([bit]) => (flags & bit) !== 0).map(([, n]) => n.toLowerCase()).join(', ') || 'nothing';
    const editor = new ListEditor(section, {
      noun: 'bans',
      fetch,
      key: banKey,
      describe: (b) => `${b.name} [${banKey(b)}]: ${flagsText(b.flags)}`,
      render: () => this.renderBans(editor),
      send: (list) => this.requests.tellThen('BnLs', cm.encodeBanList(list), fetch),
      confirmed: (sent, now) => sent.every((b) => now.some((n) => banKey(n) === banKey(b) && n.flags === b.flags)),
    });
    const who = $('ban-add-who');
    who.addEventListener('focus', () => this.fillPeople(who));
    $('ban-add-form').addEventListener('submit', (e) => {
      e.preventDefault();
      this.banSomeone(editor);
    });
    return editor;
  }

  fillPeople(select) {
    const chosen = select.value;
    const people = [...this.host.people().values()].filter((u) => u.id !== this.host.selfId());
    select.replaceChildren(el('option', { value: '', text: people.length ? 'Choose…' : 'Nobody else is here' }),
      ...people.map((u) => el('option', { value: String(u.id), text: u.name })));
    select.value = people.some((u) => String(u.id) === chosen) ? chosen : '';
  }

  // A ban is made by the kill command, whispered to the person: the server
  // makes their ban record and ends their connection.
  async banSomeone(editor) {
    const feedback = $('ban-add-feedback');
    const select = $('ban-add-who');
    const person = this.host.people().get(Number(select.value));
    if (!person) return report(feedback, 'Choose someone who is here.', 'error');
    if (editor.dirty) return report(feedback, 'Save or reload the changes below first.', 'error');
    if (!window.confirm(`Ban ${person.name}? They are disconnected and refused from now on.`)) return undefined;
    report(feedback, `Banning ${person.name}…`, 'busy');
    try {
      const list = await this.requests.tellThen('xTlk', encodeWhisper([person.id], '\'kill'), editor.how.fetch,
        [REFUSALS.command]);
      editor.show(list, '');
      const made = editor.work.find((b) => b.name === person.name && (b.flags & 0x80000000) !== 0);
      report(feedback, made ? `${person.name} is banned.` : `${person.name} was not banned (outranks you?).`,
        made ? 'ok' : 'error');
    } catch (e) {
      report(feedback, e.message, 'error');
    }
    this.fillPeople(select);
    return undefined;
  }

  renderBans(editor) {
    const rows = editor.work.map((b) => {
      const boxes = cm.BAN_FLAGS.map(([bit, name]) => el('label', { class: 'check' },
        el('input', { type: 'checkbox', checked: (b.flags & bit) !== 0,
          onchange: (e) => { b.flags = e.target.checked ? (b.flags | bit) >>> 0 : (b.flags & ~bit) >>> 0; editor.changed(); } }),
        ` ${name}`));
      const lift = el('button', { type: 'button', text: 'Lift all', 'aria-label': `Lift every measure on ${b.name}`,
        onclick: () => { b.flags = 0; this.renderBans(editor); editor.changed(); } });
      return el('li', { class: 'record', 'data-key': banKey(b) },
        el('span', { class: 'record-title', text: b.name }),
        el('span', { class: 'meta', text: `identity ${banKey(b)}${b.clientNumber ? `, client number ${b.clientNumber}` : ''}` }),
        el('fieldset', { class: 'checks' }, el('legend', { text: `Measures on ${b.name}` }), ...boxes), lift);
    });
    if (rows.length === 0) rows.push(el('li', { class: 'hint', text: 'No ban records yet.' }));
    $('console-bans').querySelector('.records').replaceChildren(...rows);
    this.fillPeople($('ban-add-who'));
  }

  // --- Groups -------------------------------------------------------------------

  makeGroupEditor() {
    const section = $('console-groups');
    const fetch = async () => {
      await this.fetchLabels();
      return this.fetchGroups();
    };
    const editor = new ListEditor(section, {
      noun: 'groups',
      fetch,
      // Accounts and users name their group by its number: its place.
      key: (g, i) => String(i),
      describe: (g) => `${g.name}, rank ${g.rank}, privileges ${hex(g.privileges, 8)}, rights ${hex(g.commands, 8)}`,
      render: () => this.renderGroups(editor),
      send: (list) => this.requests.tellThen('GrLs', cm.encodeGroupList(list), fetch),
      // The server gives rank 1 to a group sent with rank 0.
      confirmed: (sent, now) => sent.length === now.length && sent.every((g, i) => g.name === now[i].name &&
        Math.max(g.rank, 1) === now[i].rank && g.privileges === now[i].privileges && g.commands === now[i].commands),
    });
    $('group-add').addEventListener('click', () => {
      editor.work.push({ name: 'New group', rank: 1, privileges: 0x103, commands: 0x7 });
      this.renderGroups(editor, editor.work.length - 1);
      editor.changed();
    });
    return editor;
  }

  renderGroups(editor, open = -1) {
    const labels = this.labels ?? { privileges: [], commands: [] };
    const rows = editor.work.map((g, i) => {
      const number = i + 1;
      const summary = el('summary', { text: `${number}. ${g.name} — rank ${g.rank}` });
      const name = el('input', { maxlength: '33', value: g.name, required: true,
        onchange: (e) => { g.name = e.target.value; summary.textContent = `${number}. ${g.name} — rank ${g.rank}`; editor.changed(); } });
      const rank = el('input', { type: 'number', min: '1', max: '65535', value: String(g.rank),
        onchange: (e) => {
          g.rank = Math.max(1, Math.min(65535, Math.trunc(Number(e.target.value)) || 1));
          summary.textContent = `${number}. ${g.name} — rank ${g.rank}`;
          editor.changed();
        } });
      const bits = (what, list) => el('fieldset', { class: 'checks' }, el('legend', { text: `${what} of ${g.name}` }),
        ...list.map(({ label, bit }) => el('label', { class: 'check' },
          el('input', { type: 'checkbox', checked: ((what === 'Privileges' ? g.privileges : g.commands) & bit) !== 0,
            'data-bit': String(bit),
            onchange: (e) => {
              const key = what === 'Privileges' ? 'privileges' : 'commands';
              g[key] = (e.target.checked ? g[key] | bit : g[key] & ~bit) >>> 0;
              editor.changed();
            } }), ` ${label}`)));
      return el('li', { class: 'record', 'data-group': String(number) },
        el('details', { open: i === open }, summary,
          field('Name', name), field('Rank', rank),
          bits('Privileges', labels.privileges), bits('Command rights', labels.commands)));
    });
    $('console-groups').querySelector('.records').replaceChildren(...rows);
  }

  // --- Sounds -------------------------------------------------------------------

  makeSoundEditor() {
    const section = $('console-sounds');
    // There is no request for the sound list: the server sends it at
    // sign-on and to everybody whenever it changes.
    const fetch = async () => clone(this.sounds);
    const editor = new ListEditor(section, {
      noun: 'sounds',
      fetch,
      key: (s) => s.name,
      describe: (s) => `${s.name} (${s.source})`,
      render: () => this.renderSounds(editor),
      send: async (list) => {
        await this.tellAndCheck('SdLs', cm.encodeSoundList(list));
        // An empty list is not sent to anybody.
        if (list.length === 0) this.sounds = [];
        return fetch();
      },
      confirmed: (sent, now) => JSON.stringify(sent) === JSON.stringify(now),
    });
    $('sound-add-form').addEventListener('submit', (e) => {
      e.preventDefault();
      const name = $('sound-add-name').value.trim();
      const source = $('sound-add-source').value.trim();
      if (name === '' || source === '') return report(editor.ui.feedback, 'A sound needs a name and a file.', 'error');
      editor.work.push({ name, source });
      $('sound-add-name').value = '';
      $('sound-add-source').value = '';
      this.renderSounds(editor);
      editor.changed();
      return undefined;
    });
    return editor;
  }

  renderSounds(editor) {
    const rows = editor.work.map((s, i) => el('li', { class: 'record' },
      el('span', { class: 'record-title', text: s.name }), el('span', { class: 'meta', text: s.source }),
      el('button', { type: 'button', text: 'Remove', 'aria-label': `Remove sound ${s.name}`,
        onclick: () => { editor.work.splice(i, 1); this.renderSounds(editor); editor.changed(); } })));
    if (rows.length === 0) rows.push(el('li', { class: 'hint', text: 'No sounds.' }));
    $('console-sounds').querySelector('.records').replaceChildren(...rows);
  }
}
