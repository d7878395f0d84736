// The console's requests and the server's answers. The server handles one
// connection's messages in order and answers each before it reads the
// next, so answers and refusals come back in the order the requests went
// out: the first request still waiting that an answer fits is the one it
// answers. A message the server takes without answering (a list that
// replaces the server's) is known to be taken once a request sent after it
// is answered, and refused when its refusal notice comes first.

import { typeCode } from './frame.js';

export const REFUSALS = {
  console: 'You do not have console permission',
  author: 'You do not have authoring permission',
  create: 'You do not have room creation permission',
  roomInUse: 'Room ID already in use',
  command: 'You do not have permission to use that command',
};

// How long an answer may take, in milliseconds.
export const ANSWER_WAIT = 15000;

export class ConsoleRequests {
  // send(code, payload) sends one message and returns false when the link
  // is down.
  constructor(send, wait = ANSWER_WAIT) {
    this.send = send;
    this.wait = wait;
    this.pending = [];
  }

  // Sends code (a four-character text) and resolves with the value of the
  // first later message of type reply (likewise) for which accept(payload) is not undefined (by default the
  // payload itself). Rejects with an Error whose message is the server's
  // refusal when one of refusals comes first, or when nothing comes.
  ask(code, payload, { reply, accept = (p) => p, refusals = [REFUSALS.console] }) {
    return this.queue(code, payload, { reply, accept, refusals });
  }

  // Sends code, which the server answers with nothing of its own; resolves
  // once a request sent after it is answered, so an ask must follow it
  // (tellThen does both).
  tell(code, payload, refusals = [REFUSALS.console]) {
    return this.queue(code, payload, { reply: null, accept: null, refusals });
  }

  // Sends code as tell does and, at once, runs next(), which asks the
  // server something; resolves with what next resolves with once the
  // server has taken code.
  async tellThen(code, payload, next, refusals = [REFUSALS.console]) {
    const [, value] = await Promise.all([this.tell(code, payload, refusals), next()]);
    return value;
  }

  queue(code, payload, how) {
    return new Promise((resolve, reject) => {
      if (!this.send(code, payload)) {
        reject(new Error('Not connected; nothing was sent.'));
        return;
      }
      const reply = typeof how.reply === 'string' ? typeCode(how.reply) : how.reply;
      const entry = { ...how, reply, resolve, reject, timer: null };
      if (how.reply !== null) {
        entry.timer = setTimeout(() => this.settle(entry, new Error('The server did not answer.')), this.wait);
      }
      this.pending.push(entry);
    });
  }

  // Every message from the server passes here (and goes on to the page).
  receive(type, payload) {
    for (const entry of this.pending) {
      if (entry.reply !== type) continue;
      const value = entry.accept(payload);
      if (value === undefined) continue;
      this.settle(entry, null, value);
      return;
    }
  }

  // A server notice; true when it was the refusal of a request.
  notice(text) {
    const entry = this.pending.find((e) => e.refusals.includes(text));
    if (!entry) return false;
    const refusal = new Error(text);
    refusal.refusal = true;
    this.settle(entry, refusal);
    return true;
  }

  // The link dropped: nothing sent is answered any more.
  reset(reason = 'The connection dropped.') {
    const all = this.pending;
    this.pending = [];
    for (const entry of all) {
      clearTimeout(entry.timer);
      entry.reject(new Error(reason));
    }
  }

  // Ends entry, and with it every tell sent before it: those were taken
  // when entry was answered or refused (a refusal of theirs would have come
  // first), and their fate is unknown when entry got no answer at all.
  settle(entry, error, value) {
    const at = this.pending.indexOf(entry);
    if (at < 0) return;
    const tells = this.pending.slice(0, at).filter((e) => e.reply === null);
    this.pending = this.pending.filter((e) => e !== entry && !tells.includes(e));
    clearTimeout(entry.timer);
    const silent = error !== null && !error.refusal;
    for (const e of tells) {
      if (silent) e.reject(error);
      else e.resolve(true);
    }
    if (error) entry.reject(error);
    else entry.resolve(value);
  }
}
