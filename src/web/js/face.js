// A drawn face: a disc in the user's colour whose expression follows the
// face number.

const SVG = 'http://www.w3.org/2000/svg';

export const EXPRESSIONS = [
  'Smile', 'Grin', 'Neutral', 'Frown', 'Surprised', 'Wink', 'Sleepy',
  'Angry', 'Tongue', 'Sad', 'Laugh', 'Cool', 'Blush',
];

export function expressionOf(face) {
  return EXPRESSIONS[((face % EXPRESSIONS.length) + EXPRESSIONS.length) % EXPRESSIONS.length];
}

// 0x00RRGGBB -> "#rrggbb".
export function cssColour(colour) {
  return '#' + ((colour >>> 0) & 0xffffff).toString(16).padStart(6, '0');
}

function el(name, attrs) {
  const node = document.createElementNS(SVG, name);
  for (const [k, v] of Object.entries(attrs)) node.setAttribute(k, String(v));
  return node;
}

const INK = { stroke: '#222', 'stroke-width': 2, fill: 'none', 'stroke-linecap': 'round' };

function eyes(kind) {
  switch (kind) {
    case 'Wink':
      return [el('circle', { cx: 16, cy: 18, r: 2.5, fill: '#222' }), el('path', { d: 'M25 18h6', ...INK })];
    case 'Sleepy':
      return [el('path', { d: 'M13 18h6M25 18h6', ...INK })];
    case 'Angry':
      return [el('path', { d: 'M12 13l7 3M32 13l-7 3', ...INK }),
              el('circle', { cx: 16, cy: 19, r: 2.5, fill: '#222' }),
              el('circle', { cx: 28, cy: 19, r: 2.5, fill: '#222' })];
    case 'Cool':
      return [el('path', { d: 'M10 15h24v3a4 4 0 0 1-4 4h-4a4 4 0 0 1-4-4 4 4 0 0 1-4 4h-4a4 4 0 0 1-4-4z', fill: '#111' })];
    case 'Surprised':
      return [el('circle', { cx: 16, cy: 17, r: 3.5, fill: '#fff', stroke: '#222', 'stroke-width': 1.5 }),
              el('circle', { cx: 28, cy: 17, r: 3.5, fill: '#fff', stroke: '#222', 'stroke-width': 1.5 })];
    default:
      return [el('circle', { cx: 16, cy: 18, r: 2.5, fill: '#222' }),
              el('circle', { cx: 28, cy: 18, r: 2.5, fill: '#222' })];
  }
}

function mouth(kind) {
  switch (kind) {
    case 'Grin':
    case 'Laugh':
      return [el('path', { d: 'M13 26q9 10 18 0z', fill: '#622', stroke: '#222', 'stroke-width': 1.5 })];
    case 'Neutral':
    case 'Sleepy':
      return [el('path', { d: 'M15 29h14', ...INK })];
    case 'Frown':
    case 'Angry':
    case 'Sad':
      return [el('path', { d: 'M15 31q7-6 14 0', ...INK })];
    case 'Surprised':
      return [el('circle', { cx: 22, cy: 30, r: 3.5, fill: '#622' })];
    case 'Tongue':
      return [el('path', { d: 'M15 27q7 5 14 0', ...INK }), el('path', { d: 'M19 29q3 7 6 0', fill: '#d55' })];
    default:
      return [el('path', { d: 'M14 27q8 7 16 0', ...INK })];
  }
}

// An SVG face, 44 by 44 units (a face's size in room pixels).
export function drawFace(colour, face) {
  const kind = expressionOf(face);
  const svg = el('svg', { viewBox: '0 0 44 44', 'aria-hidden': 'true' });
  svg.append(el('circle', { cx: 22, cy: 22, r: 20, fill: cssColour(colour), stroke: '#333', 'stroke-width': 1.5 }));
  if (kind === 'Blush') {
    svg.append(el('circle', { cx: 11, cy: 25, r: 3.5, fill: '#f88', opacity: 0.7 }),
               el('circle', { cx: 33, cy: 25, r: 3.5, fill: '#f88', opacity: 0.7 }));
  }
  if (kind === 'Sad') svg.append(el('path', { d: 'M29 21q-1 4 0 6', stroke: '#49f', 'stroke-width': 2, fill: 'none' }));
  svg.append(...eyes(kind), ...mouth(kind));
  return svg;
}
