// The page's flame graph (an icicle of the run's call stacks) and the call
// stacks of list entries. Drawn on a canvas of its own, without a library.
//
// What the page's data block holds for them:
//   frames  [[function, file, line, object], ...], the frames named below;
//           file "" and line 0 where they are unknown.
//   flame   five numbers a node: parent, frame, then the node's values:
//           bytes alive at the end, bytes held at the peak, allocations,
//           each its own plus its children's. Node 0 is the root (every
//           stack; parent -1, frame -1), its children are the outermost
//           frames. Nodes come in pre-order (a node's subtree follows it
//           without a gap), siblings ordered by frame name. Frame -2 is
//           "other": the children of that parent too small to be shown,
//           merged. Empty when the run names no stacks.
//   lists   a row [texts, numbers, stack]: stack, when there, is the
//           entry's frames (indices into frames) from the allocation site
//           outwards.
//
// kivFlame(page) takes the page's helpers (el, bytes, grouped) and its
// frames and returns graph(parent, flat, width, onChange), which draws the
// graph and calls onChange({painted, measure, focus, top}) after every
// paint, and openable(row, stack, columns), which lets a table row open
// its stack beneath it.
window.kivFlame = function (page) {
  'use strict';

  const FIELDS = 5;
  const NO_PARENT = -1;
  const ROOT_FRAME = -1;
  const OTHER_FRAME = -2;
  const ROW_HEIGHT = 18;   // CSS pixels a stack level
  const MIN_BOX = 1;       // narrower boxes are left out with their subtrees
  const MIN_LABEL = 28;    // narrower boxes carry no text
  const LABEL_PAD = 4;
  const MIN_GLYPH = 2;     // no character of the font is narrower
  const TIP_OFFSET = 14;
  const FONT = '12px system-ui, sans-serif';
  const TOP_NAMES = 10;    // names of the largest children in the state
  // Every paint is read back (a strip of it) to tell whether it left pixels.
  const CONTEXT = { willReadFrequently: true };
  const MEASURES = [
    { key: 'alive', title: 'Alive at the end', bytes: true },
    { key: 'peak', title: 'Held at the peak', bytes: true },
    { key: 'allocations', title: 'Allocations', bytes: false },
  ];
  const frames = page.frames;
  const el = page.el;

  function placeOf(frame) {
    return frame[1] ? frame[1] + (frame[2] ? ':' + frame[2] : '') : '';
  }

  // The nodes as typed arrays, with each node's depth, the end of its
  // subtree and the sums of its children; null when the array breaks the
  // rules above (the page then says so instead of drawing nonsense).
  function readTree(flat) {
    if (!Array.isArray(flat) || flat.length === 0 || flat.length % FIELDS !== 0) return null;
    const n = flat.length / FIELDS;
    const tree = {
      parent: new Int32Array(n),
      frame: new Int32Array(n),
      depth: new Int32Array(n),
      end: new Int32Array(n),
      values: MEASURES.map(function () { return new Float64Array(n); }),
      childSum: MEASURES.map(function () { return new Float64Array(n); }),
    };
    const path = [];  // the ancestors of the node being read
    for (let i = 0; i < n; ++i) {
      const p = flat[i * FIELDS];
      const f = flat[i * FIELDS + 1];
      while (path.length > 0 && path[path.length - 1] !== p) path.pop();
      if ((i === 0) !== (p === NO_PARENT) || (i > 0 && path.length === 0)) return null;
      if ((i === 0) !== (f === ROOT_FRAME)) return null;
      if (i > 0 && f !== OTHER_FRAME && !(Number.isInteger(f) && f >= 0 && f < frames.length)) return null;
      tree.parent[i] = p;
      tree.frame[i] = f;
      tree.depth[i] = path.length;
      for (let m = 0; m < MEASURES.length; ++m) {
        const v = flat[i * FIELDS + 2 + m];
        if (!(v >= 0)) return null;
        tree.values[m][i] = v;
        if (i > 0) tree.childSum[m][p] += v;
      }
      path.push(i);
    }
    for (let i = 0; i < n; ++i) tree.end[i] = i + 1;
    for (let i = n - 1; i > 0; --i) tree.end[tree.parent[i]] = Math.max(tree.end[tree.parent[i]], tree.end[i]);
    return tree;
  }

  function hash(text) {
    let h = 2166136261;
    for (let i = 0; i < text.length; ++i) h = Math.imul(h ^ text.charCodeAt(i), 16777619);
    return h >>> 0;
  }

  // One hue per object, so a library's code reads as one colour; the
  // lightness varies by function so that neighbours stand apart.
  function frameColour(frame) {
    return 'hsl(' + hash(frame[3]) % 360 + ',55%,' + (62 + hash(frame[0]) % 16) + '%)';
  }

  // The longest start of `text` that fits in `room` pixels, with an
  // ellipsis when cut. Only a start that could fit is measured (names can
  // be a thousand characters long).
  function fit(ctx, text, room) {
    const longest = Math.floor(room / MIN_GLYPH);
    if (text.length <= longest && ctx.measureText(text).width <= room) return text;
    const head = text.slice(0, longest);
    let keep = Math.min(head.length, Math.floor(head.length * room / ctx.measureText(head + '\u2026').width));
    while (keep > 0 && ctx.measureText(text.slice(0, keep) + '\u2026').width > room) keep -= 1;
    return keep > 0 ? text.slice(0, keep) + '\u2026' : '';
  }

  // Whether the top level (the focus's box, drawn first) left pixels on
  // the canvas; reading back only that strip keeps a repaint cheap.
  function canvasPainted(canvas) {
    const strip = Math.min(canvas.height, Math.round(ROW_HEIGHT * (window.devicePixelRatio || 1)));
    if (canvas.width === 0 || strip === 0) return false;
    const pixels = canvas.getContext('2d', CONTEXT).getImageData(0, 0, canvas.width, strip).data;
    for (let i = 3; i < pixels.length; i += 4) if (pixels[i] !== 0) return true;
    return false;
  }

  function graph(parent, flat, width, onChange) {
    const box = el('div', { class: 'flame', id: 'flame' });
    parent.appendChild(box);
    const tree = readTree(flat);
    if (!tree) {
      box.appendChild(el('p', { class: 'empty' }, 'The call stacks of this page are damaged and are not drawn.'));
      onChange({ painted: false, measure: '', focus: '', top: [] });
      return;
    }
    const colours = frames.map(frameColour);
    const cursor = new Float64Array(tree.parent.length);
    let measure = 0;
    let focus = 0;
    let levels = [];  // per level the drawn boxes as node, x, width

    const bar = el('div', { class: 'flame-bar' });
    const buttons = MEASURES.map(function (m, i) {
      const button = el('button', { class: 'measure', 'data-measure': m.key }, m.title);
      button.addEventListener('click', function () {
        measure = i;
        paint();
      });
      bar.appendChild(button);
      return button;
    });
    const path = el('div', { class: 'flame-path' });
    const stage = el('div', { class: 'flame-stage' });
    const canvas = el('canvas');
    const note = el('p', { class: 'empty' });
    const tip = el('div', { class: 'flame-tip' });
    tip.hidden = true;
    stage.appendChild(canvas);
    stage.appendChild(tip);
    const hint = el('p', { class: 'sub' },
      'A box is a frame, as wide as its share of the measure, above the frames it called. ' +
      'Click a box to zoom into it, the top box or the path to zoom out; point at one for its figures.');
    [bar, hint, path, note, stage].forEach(function (part) { box.appendChild(part); });

    function nameOf(node) {
      const f = tree.frame[node];
      if (f === ROOT_FRAME) return 'all stacks';
      return f === OTHER_FRAME ? 'other' : frames[f][0];
    }

    function colourOf(node) {
      const f = tree.frame[node];
      if (f === ROOT_FRAME) return '#c8ccd2';
      return f === OTHER_FRAME ? '#e2e4e8' : colours[f];
    }

    // The focus's subtree laid out across the canvas in the current measure.
    function layout() {
      const values = tree.values[measure];
      const all = values[focus];
      if (!(all > 0)) return [];
      const scale = width / all;
      const base = tree.depth[focus];
      const out = [[focus, 0, width]];
      cursor[focus] = 0;
      for (let i = focus + 1; i < tree.end[focus];) {
        const w = values[i] * scale;
        const x = cursor[tree.parent[i]];
        cursor[tree.parent[i]] = x + w;
        if (w < MIN_BOX) {
          i = tree.end[i];
          continue;
        }
        cursor[i] = x;
        const level = tree.depth[i] - base;
        if (level === out.length) out.push([]);
        out[level].push(i, x, w);
        i += 1;
      }
      return out;
    }

    function drawBox(ctx, node, x, w, y) {
      ctx.fillStyle = colourOf(node);
      ctx.fillRect(x, y, w > 2 ? w - 1 : w, ROW_HEIGHT - 1);
      if (w < MIN_LABEL) return;
      ctx.fillStyle = '#222';
      ctx.fillText(fit(ctx, nameOf(node), w - 2 * LABEL_PAD), x + LABEL_PAD, y + ROW_HEIGHT / 2);
    }

    function draw() {
      const ratio = window.devicePixelRatio || 1;
      const height = Math.max(levels.length, 1) * ROW_HEIGHT;
      canvas.width = Math.round(width * ratio);
      canvas.height = Math.round(height * ratio);
      canvas.style.width = width + 'px';
      canvas.style.height = height + 'px';
      canvas.setAttribute('data-rows', String(levels.length));
      const ctx = canvas.getContext('2d', CONTEXT);
      ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
      ctx.font = FONT;
      ctx.textBaseline = 'middle';
      levels.forEach(function (boxes, level) {
        for (let b = 0; b < boxes.length; b += 3) drawBox(ctx, boxes[b], boxes[b + 1], boxes[b + 2], level * ROW_HEIGHT);
      });
    }

    // The way from the root to the focus; each step above the focus zooms out to it.
    function drawPath() {
      path.textContent = '';
      const chain = [];
      for (let n = focus; n !== NO_PARENT; n = tree.parent[n]) chain.unshift(n);
      chain.forEach(function (n, i) {
        if (i > 0) path.appendChild(document.createTextNode(' \u203A '));
        if (n === focus) {
          path.appendChild(el('span', { class: 'crumb current' }, nameOf(n)));
          return;
        }
        const crumb = el('button', { class: 'crumb' }, nameOf(n));
        crumb.addEventListener('click', function () { zoom(n); });
        path.appendChild(crumb);
      });
    }

    // The focus's children holding some of the measure, largest first.
    function largestChildren() {
      const values = tree.values[measure];
      const children = [];
      for (let c = focus + 1; c < tree.end[focus]; c = tree.end[c]) if (values[c] > 0) children.push(c);
      children.sort(function (a, b) { return values[b] - values[a] || a - b; });
      return children.slice(0, TOP_NAMES).map(nameOf);
    }

    function paint() {
      tip.hidden = true;
      levels = layout();
      draw();
      drawPath();
      buttons.forEach(function (button, i) {
        button.classList.toggle('active', i === measure);
        button.setAttribute('aria-pressed', String(i === measure));
      });
      note.hidden = levels.length > 0;
      note.textContent = levels.length > 0 ? '' : 'Nothing ' + MEASURES[measure].title.toLowerCase() + ' under ' + nameOf(focus) + '.';
      onChange({ painted: canvasPainted(canvas), measure: MEASURES[measure].key, focus: nameOf(focus), top: largestChildren() });
    }

    function zoom(node) {
      focus = node;
      paint();
    }

    // The drawn node under a mouse event, or -1. A level's boxes lie left
    // to right, so a binary search finds the last one starting at or
    // before the pointer.
    function nodeAt(event) {
      const rect = canvas.getBoundingClientRect();
      const x = event.clientX - rect.left;
      const level = Math.floor((event.clientY - rect.top) / ROW_HEIGHT);
      if (level < 0 || level >= levels.length) return -1;
      const boxes = levels[level];
      let lo = 0;
      let hi = boxes.length / 3 - 1;
      let found = -1;
      while (lo <= hi) {
        const mid = (lo + hi) >> 1;
        if (boxes[mid * 3 + 1] <= x) {
          found = mid;
          lo = mid + 1;
        } else {
          hi = mid - 1;
        }
      }
      if (found < 0 || x >= boxes[found * 3 + 1] + boxes[found * 3 + 2]) return -1;
      return boxes[found * 3];
    }

    function amount(v) {
      return MEASURES[measure].bytes ? page.bytes(v) + ' (' + page.grouped(v) + ' bytes)'
                                     : page.grouped(v) + (v === 1 ? ' allocation' : ' allocations');
    }

    function share(part, whole) {
      return whole > 0 ? (100 * part / whole).toFixed(1) + '%' : '-';
    }

    function tipLines(node) {
      const values = tree.values[measure];
      const v = values[node];
      const lines = [];
      const f = tree.frame[node];
      if (f >= 0 && placeOf(frames[f])) lines.push(placeOf(frames[f]));
      if (f >= 0 && frames[f][3]) lines.push(frames[f][3]);
      if (f === OTHER_FRAME) lines.push('stacks too small to be shown one by one');
      lines.push(MEASURES[measure].title + ': ' + amount(v));
      lines.push(share(v, values[0]) + ' of all' +
        (focus !== 0 && node !== focus ? ', ' + share(v, values[focus]) + ' of ' + nameOf(focus) : ''));
      if (tree.end[node] > node + 1) lines.push('own: ' + amount(v - tree.childSum[measure][node]));
      return lines;
    }

    function showTip(node, event) {
      tip.textContent = '';
      tip.appendChild(el('div', { class: 'name' }, nameOf(node)));
      tipLines(node).forEach(function (line) { tip.appendChild(el('div', {}, line)); });
      // Shown before it is placed: a hidden element has no width to keep inside the stage.
      tip.hidden = false;
      const rect = stage.getBoundingClientRect();
      const x = event.clientX - rect.left + TIP_OFFSET;
      tip.style.left = Math.max(0, Math.min(x, rect.width - tip.offsetWidth)) + 'px';
      tip.style.top = (event.clientY - rect.top + TIP_OFFSET) + 'px';
    }

    canvas.addEventListener('click', function (event) {
      const node = nodeAt(event);
      if (node < 0) return;
      // A click on the focus itself zooms out one level.
      zoom(node === focus && node !== 0 ? tree.parent[node] : node);
    });
    canvas.addEventListener('mousemove', function (event) {
      const node = nodeAt(event);
      if (node < 0) tip.hidden = true;
      else showTip(node, event);
    });
    canvas.addEventListener('mouseleave', function () { tip.hidden = true; });
    paint();
  }

  function frameItem(index) {
    const frame = frames[index] || ['?', '', 0, ''];
    const item = el('li');
    item.appendChild(el('span', { class: 'fn' }, frame[0]));
    if (placeOf(frame)) item.appendChild(el('span', { class: 'place' }, ' (' + placeOf(frame) + ')'));
    if (frame[3]) item.appendChild(el('span', { class: 'object' }, ' [' + frame[3] + ']'));
    return item;
  }

  // A click on the row shows the stack in a row of its own beneath it; a
  // second click closes it.
  function openable(row, stack, columns) {
    row.classList.add('has-stack');
    row.addEventListener('click', function () {
      const next = row.nextElementSibling;
      if (next && next.classList.contains('stack')) {
        next.remove();
        row.classList.remove('open');
        return;
      }
      const list = el('ol', { class: 'stack' });
      stack.forEach(function (index) { list.appendChild(frameItem(index)); });
      const cell = el('td', { colspan: String(columns) });
      cell.appendChild(list);
      const line = el('tr', { class: 'stack' });
      line.appendChild(cell);
      row.after(line);
      row.classList.add('open');
    });
  }

  return { graph: graph, openable: openable };
};
