// Link scrambling: every byte of the chat stream travels in 16-byte blocks
// put through a seeded bit permutation and an XOR stream. Each direction has
// its own seed, sent as one plain byte ahead of its first block.

export const BLOCK_SIZE = 16;
const TABLE_COUNT = 12;
const FREE = 0xff;

// The sender's (position-to-index) table for a table number; numbers run
// past 255 (a seed of 254 uses 254 to 265).
export function buildSenderTable(tableNumber) {
  const occ = new Uint8Array(128).fill(FREE);
  let g = (7 * (tableNumber & 0xffff) + 3) % 128;
  for (let i = 0; i < 128; i++) {
    g = (7 * g + 3) % 128;
    let c = g;
    if (occ[c] !== FREE) {
      // Probe 10, then (7j + 3) % 128 for j = 2, 3, ...; the main sequence
      // goes on from the last probe.
      g = 10;
      c = 10;
      let j = 1;
      while (occ[c] !== FREE) {
        j++;
        g = (7 * j + 3) % 128;
        c = g;
      }
    }
    occ[c] = i;
  }
  return occ;
}

// The receiver's inverse (index-to-position) table.
export function buildReceiverTable(tableNumber) {
  const occ = buildSenderTable(tableNumber);
  const inv = new Uint8Array(128);
  for (let c = 0; c < 128; c++) inv[occ[c]] = c;
  return inv;
}

// Output bit k takes input bit table[k]; bit k is mask 0x80 >> (k % 8) of
// byte k / 8.
function permute(table, block, offset) {
  const out = new Uint8Array(BLOCK_SIZE);
  for (let k = 0; k < 128; k++) {
    const from = table[k];
    if (block[offset + (from >> 3)] & (0x80 >> (from & 7))) out[k >> 3] |= 0x80 >> (k & 7);
  }
  return out;
}

function nextState(state) {
  return (7 * state + 3) & 0xff;
}

// Tables are shared by every link; a page needs at most 24 of them.
const senderTables = new Map();
const receiverTables = new Map();

function tablesFor(cache, build, seed) {
  const tables = [];
  for (let t = 0; t < TABLE_COUNT; t++) {
    const n = seed + t;
    if (!cache.has(n)) cache.set(n, build(n));
    tables.push(cache.get(n));
  }
  return tables;
}

// The sending direction. The first call to scramble() puts the seed byte in
// front of the blocks.
export class LinkWriter {
  constructor(seed) {
    if (!Number.isInteger(seed) || seed < 0 || seed > 254) throw new RangeError('seed');
    this.seed = seed;
    this.state = seed;
    this.seedSent = false;
    this.tables = tablesFor(senderTables, buildSenderTable, seed);
  }

  // plain: a multiple of 16 bytes. Returns the bytes for the wire.
  scramble(plain) {
    if (plain.length % BLOCK_SIZE !== 0) throw new RangeError('not whole blocks');
    const lead = this.seedSent ? 0 : 1;
    const wire = new Uint8Array(lead + plain.length);
    if (lead) wire[0] = this.seed;
    this.seedSent = true;
    for (let at = 0; at < plain.length; at += BLOCK_SIZE) {
      const out = permute(this.tables[this.state % TABLE_COUNT], plain, at);
      this.state = nextState(this.state);
      for (let j = 0; j < BLOCK_SIZE; j++) {
        this.state = nextState(this.state);
        out[j] ^= this.state;
      }
      wire.set(out, lead + at);
    }
    return wire;
  }
}

// The receiving direction: takes wire bytes in pieces of any size and hands
// back the plain bytes of every whole block; a partial block waits for the
// rest.
export class LinkReader {
  constructor() {
    this.tables = null;
    this.state = 0;
    this.pending = new Uint8Array(0);
  }

  descramble(wire) {
    let bytes = wire;
    if (this.tables === null) {
      if (bytes.length === 0) return new Uint8Array(0);
      this.state = bytes[0];
      this.tables = tablesFor(receiverTables, buildReceiverTable, bytes[0]);
      bytes = bytes.subarray(1);
    }
    const all = new Uint8Array(this.pending.length + bytes.length);
    all.set(this.pending);
    all.set(bytes, this.pending.length);
    const whole = all.length - (all.length % BLOCK_SIZE);
    const plain = new Uint8Array(whole);
    const block = new Uint8Array(BLOCK_SIZE);
    for (let at = 0; at < whole; at += BLOCK_SIZE) {
      const table = this.tables[this.state % TABLE_COUNT];
      this.state = nextState(this.state);
      for (let j = 0; j < BLOCK_SIZE; j++) {
        this.state = nextState(this.state);
        block[j] = all[at + j] ^ this.state;
      }
      plain.set(permute(table, block, 0), at);
    }
    this.pending = all.slice(whole);
    return plain;
  }
}
