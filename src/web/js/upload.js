// A file sent into the site's media folder: "sUpl" with its name, then its
// bytes in "fSeg" segments. The server acknowledges the start and every
// segment with "FAck" and the name, and tells everybody "FChn" when the
// last one is in; a few segments travel ahead of their acknowledgements.

import { decodeZString, encodeZString } from './messages.js';
import { encodeUploadSegment } from './console_messages.js';
import { REFUSALS } from './console_requests.js';

export const SEGMENT_SIZE = 16384;
const AHEAD = 4;

// Uploads bytes (a Uint8Array) as name through requests (a
// ConsoleRequests). progress(done, total) is called as the server
// acknowledges. Resolves when the last segment is acknowledged; rejects
// with the refusal, or when the server stops answering (it does not answer
// a name it does not take).
export async function upload(requests, name, bytes, progress = () => {}) {
  const acknowledged = (p) => (decodeZString(p) === name ? true : undefined);
  const ack = { reply: 'FAck', accept: acknowledged, refusals: [REFUSALS.author] };
  progress(0, bytes.length);
  await requests.ask('sUpl', encodeZString(name), ack);
  const inFlight = [];
  let offset = 0;
  do {
    const end = Math.min(bytes.length, offset + SEGMENT_SIZE);
    const last = end === bytes.length;
    const segment = encodeUploadSegment(name, offset, bytes.subarray(offset, end), last);
    const sent = end;
    const answered = requests.ask('fSeg', segment, { ...ack, refusals: [] }).then(() => progress(sent, bytes.length));
    answered.catch(() => {}); // awaited below; a failure is not lost meanwhile
    inFlight.push(answered);
    offset = end;
    if (inFlight.length >= AHEAD || last) await inFlight.shift();
  } while (offset < bytes.length);
  await Promise.all(inFlight);
}
