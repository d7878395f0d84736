// What the console's sections share: building elements, the feedback next
// to a control, and the editor of a list the server replaces whole. The
// editor keeps the list as fetched (its base) and the person's working
// copy; saving fetches the list again first, and when someone else changed
// it meanwhile it shows the difference and asks before overwriting.

import { differenceLines, listDifference } from './console_lists.js';

const PROPERTIES = new Set(['checked', 'value', 'hidden', 'disabled', 'open', 'required']);

// An element: props are attributes, except "class", "text" (its text),
// "on<event>" (listeners) and a few properties; children are appended.
export function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(props)) {
    if (v === undefined || v === null) continue;
    if (k === 'class') node.className = v;
    else if (k === 'text') node.textContent = v;
    else if (k.startsWith('on')) node.addEventListener(k.slice(2), v);
    else if (PROPERTIES.has(k)) node[k] = v;
    else node.setAttribute(k, String(v));
  }
  node.append(...children.filter((c) => c !== null && c !== undefined && c !== false));
  return node;
}

// A labelled control: the label's text, then the control, in one label.
export function field(text, control) {
  return el('label', { class: 'field' }, el('span', { text }), control);
}

// Shows text next to a control: kind is "ok", "error", "busy" or "".
export function report(node, text, kind = '') {
  node.textContent = text;
  node.dataset.kind = kind;
}

export const clone = (value) => JSON.parse(JSON.stringify(value));

// The save bar (Save, Reload and the feedback) and the conflict box, put at
// the end of container.
function chrome(container, noun) {
  const feedback = el('p', { class: 'feedback', role: 'status' });
  const save = el('button', { type: 'button', class: 'save', text: `Save ${noun}` });
  const reload = el('button', { type: 'button', class: 'reload', text: 'Reload' });
  const changes = el('ul', { class: 'changes' });
  const overwrite = el('button', { type: 'button', class: 'overwrite', text: 'Save mine over theirs' });
  const discard = el('button', { type: 'button', class: 'discard', text: 'Drop mine, show theirs' });
  const conflict = el('div', { class: 'conflict', role: 'alert', tabindex: '-1', hidden: true },
    el('p', { text: `Someone else changed the ${noun} since you loaded them:` }), changes,
    el('div', { class: 'buttons' }, overwrite, discard));
  container.append(el('div', { class: 'save-bar' }, save, reload, feedback), conflict);
  return { feedback, save, reload, conflict, changes, overwrite, discard };
}

export class ListEditor {
  // container: where the bar goes. how: noun (for the texts), fetch()
  // (resolves with the server's list), send(list) (replaces the server's
  // list and resolves with the list fetched after it), render() (shows
  // this.work), key(record), describe(record) and confirmed(sent, now),
  // whether the list fetched after a save shows what was sent.
  constructor(container, how) {
    this.how = how;
    this.base = null;
    this.work = [];
    this.dirty = false;
    this.theirs = null;
    this.ui = chrome(container, how.noun);
    this.ui.save.addEventListener('click', () => this.save());
    this.ui.reload.addEventListener('click', () => this.load());
    this.ui.overwrite.addEventListener('click', () => this.commit());
    this.ui.discard.addEventListener('click', () => this.show(this.theirs, 'Showing the server\'s list; your changes were dropped.'));
  }

  // Fetches the list unless the person has changes not saved yet (or force).
  async load(force = true) {
    if (this.dirty && !force) return;
    this.closeConflict();
    report(this.ui.feedback, 'Loading…', 'busy');
    try {
      this.show(await this.how.fetch(), '');
    } catch (e) {
      report(this.ui.feedback, e.message, 'error');
    }
  }

  show(list, text, kind = 'ok') {
    this.closeConflict();
    this.base = clone(list);
    this.work = clone(list);
    this.dirty = false;
    this.how.render();
    report(this.ui.feedback, text, kind);
  }

  // The working copy changed.
  changed() {
    this.dirty = true;
    report(this.ui.feedback, 'Changes not saved yet.', '');
  }

  async save() {
    if (this.base === null) return;
    report(this.ui.feedback, 'Checking the server\'s list…', 'busy');
    let fresh;
    try {
      fresh = await this.how.fetch();
    } catch (e) {
      report(this.ui.feedback, e.message, 'error');
      return;
    }
    const diff = listDifference(this.base, fresh, this.how.key);
    if (!diff.none) {
      this.theirs = fresh;
      this.ui.changes.replaceChildren(...differenceLines(diff, this.how.describe).map((t) => el('li', { text: t })));
      this.ui.conflict.hidden = false;
      this.ui.conflict.focus();
      report(this.ui.feedback, 'Not saved: the list changed on the server.', 'error');
      return;
    }
    await this.commit();
  }

  async commit() {
    this.closeConflict();
    report(this.ui.feedback, 'Saving…', 'busy');
    const sent = clone(this.work);
    try {
      const now = await this.how.send(sent);
      if (this.how.confirmed(sent, now)) {
        this.show(now, 'Saved.');
      } else {
        this.show(now, 'Sent, but the server\'s list does not show the change; this is its list now.', 'error');
      }
    } catch (e) {
      report(this.ui.feedback, e.message, 'error');
    }
  }

  closeConflict() {
    this.ui.conflict.hidden = true;
    this.ui.changes.replaceChildren();
  }
}
