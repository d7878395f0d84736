// Finds a room's background picture: the room description file (".rmd",
// or ".rmz" compressed) is fetched from the site's media folder and its
// roomdesc tag names the picture.

// The background attribute of the roomdesc tag, quoted or not; null when
// there is none or it is empty.
export function backgroundOf(text) {
  const tag = /<roomdesc\b([^>]*)>/i.exec(text);
  if (!tag) return null;
  const attr = /\bbackground\s*=\s*(?:"([^"]*)"|'([^']*)'|([^\s"'>]+))/i.exec(tag[1]);
  if (!attr) return null;
  const value = (attr[1] ?? attr[2] ?? attr[3] ?? '').trim();
  return value === '' ? null : value;
}

// An ".rmz" file: "rmz ", the content's length (4 bytes, big-endian), then
// the content as a zlib stream. Anything else is taken as it is.
async function contentOf(bytes, name) {
  const isRmz = /\.rmz$/.test(name) && bytes.length >= 8 &&
                String.fromCharCode(...bytes.subarray(0, 4)) === 'rmz ';
  if (isRmz && typeof DecompressionStream === 'function') {
    try {
      const stream = new Blob([bytes.subarray(8)]).stream()
        .pipeThrough(new DecompressionStream('deflate'));
      return new TextDecoder('windows-1252').decode(await new Response(stream).arrayBuffer());
    } catch {
      // A damaged stream: its raw bytes are all there is.
    }
  }
  return new TextDecoder('windows-1252').decode(bytes);
}

const PICTURE = /\.(jpe?g|png|gif|bmp|svg|webp)$/i;
const DESCRIPTION = /\.(rmd|rmz)$/i;

// The picture's URL for a room whose description text is desc (normally
// the name of its description file in the media folder), or null when it
// has none or it cannot be had. mediaRoot is the media folder's URL.
export async function findRoomPicture(desc, mediaRoot, fetchFn = fetch) {
  const name = (desc ?? '').trim();
  if (name === '' || /\s/.test(name)) return null;
  let url;
  try {
    url = new URL(name, mediaRoot);
  } catch {
    return null;
  }
  if (PICTURE.test(url.pathname)) return url.href;
  if (!DESCRIPTION.test(url.pathname)) return null;
  try {
    const answer = await fetchFn(url.href);
    if (!answer.ok) return null;
    const text = await contentOf(new Uint8Array(await answer.arrayBuffer()), url.pathname);
    const background = backgroundOf(text);
    if (background === null) return null;
    const picture = new URL(background, url);
    return /^https?:$/.test(picture.protocol) ? picture.href : null;
  } catch {
    return null;
  }
}
