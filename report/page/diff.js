// Builds the page that compares two runs from the data block kivdb diff
// wrote into it, with the parts kivdb's pages share (kivPage,
// page/common.js). Besides their state, the body carries data-kiv-lines
// (the memory chart's lines, joined by " | ") and data-kiv-painted (those
// of them whose colour the chart's canvas holds), for automated checks.
(function () {
  'use strict';

  const page = kivPage();
  const body = page.body;
  const data = page.data;
  const el = page.el;
  const grouped = page.grouped;

  // The baseline's lines in blues and dashed, the new run's in reds, one
  // shade per column of the memory series (with free, no free).
  const BASE_COLORS = ['#1f77b4', '#17becf'];
  const NEW_COLORS = ['#d62728', '#ff7f0e'];
  const BASE_DASH = [6, 4];
  // How far a pixel's channels may be from a line's colour to count as it.
  const COLOR_TOLERANCE = 6;
  const OPAQUE = 250;

  function signed(n) {
    return (n > 0 ? '+' : '') + grouped(n);
  }

  function percent(base, change) {
    if (base === 0) return '';
    const p = Math.round(change * 1000 / base) / 10;
    return (p > 0 ? '+' : '') + (p === 0 ? '0.0' : p.toFixed(1)) + '%';
  }

  function trend(change) {
    return change > 0 ? 'grew' : change < 0 ? 'shrank' : '';
  }

  function runLine(label, s) {
    return label + ': run ' + s.run_id + ', ' + (s.program || '-') + ' on ' + (s.host || '-') + ' by ' +
      (s.user || '-') + ', ' + (s.start_time || '-') + ' to ' + (s.end_time || '-');
  }

  function header() {
    body.appendChild(el('h1', {}, 'Run ' + data.new.run_id + ' against run ' + data.base.run_id));
    body.appendChild(el('p', { class: 'runs' }, runLine('Base', data.base)));
    body.appendChild(el('p', { class: 'runs' }, runLine('New', data.new)));
    [['base', data.base], ['new', data.new]].forEach(function (side) {
      if (side[1].cut_short.length === 0) return;
      const box = el('div', { class: 'cut', id: 'cut-short-' + side[0] });
      box.appendChild(el('strong', {}, 'The ' + side[0] + ' run was cut short: its figures cover what was ' +
        'recorded and converted.'));
      side[1].cut_short.forEach(function (reason) { box.appendChild(el('div', {}, reason)); });
      body.appendChild(box);
    });
  }

  // A table whose rows are arrays of cells { text, sort, cls }; a click on
  // a heading sorts by its column, and rows past data.top wait behind
  // "show all".
  function sortableTable(id, headings, rows) {
    const t = el('table', { 'data-list': id });
    const head = el('tr');
    const tbody = el('tbody');
    let showAll = false;
    function fill() {
      tbody.textContent = '';
      const shown = showAll ? rows.length : Math.min(data.top, rows.length);
      for (let r = 0; r < shown; ++r) {
        const tr = el('tr');
        rows[r].forEach(function (cell) { tr.appendChild(el('td', { class: cell.cls }, cell.text)); });
        tbody.appendChild(tr);
      }
    }
    headings.forEach(function (heading, column) {
      const th = el('th', { class: heading.cls }, heading.text);
      th.addEventListener('click', function () {
        const ascending = th.getAttribute('data-order') === 'desc';
        head.querySelectorAll('th').forEach(function (h) { h.removeAttribute('data-order'); });
        th.setAttribute('data-order', ascending ? 'asc' : 'desc');
        rows.sort(function (a, b) {
          const x = a[column].sort;
          const y = b[column].sort;
          const order = x < y ? -1 : x > y ? 1 : 0;
          return ascending ? order : -order;
        });
        fill();
      });
      head.appendChild(th);
    });
    const thead = el('thead');
    thead.appendChild(head);
    t.appendChild(thead);
    t.appendChild(tbody);
    body.appendChild(t);
    fill();
    if (rows.length > data.top) {
      const button = el('button', { class: 'show' }, 'show all ' + rows.length);
      button.addEventListener('click', function () {
        showAll = !showAll;
        button.textContent = showAll ? 'show top ' + data.top : 'show all ' + rows.length;
        fill();
      });
      body.appendChild(button);
    }
  }

  function number(value, cls) {
    return { text: grouped(value), sort: value, cls: 'num' + (cls ? ' ' + cls : '') };
  }

  function change(value) {
    return { text: signed(value), sort: value, cls: 'num ' + trend(value) };
  }

  function figures() {
    page.section('Summary');
    const headings = [{ text: 'figure', cls: 'text' }, { text: 'base', cls: 'num' }, { text: 'new', cls: 'num' },
      { text: 'change', cls: 'num' }, { text: '%', cls: 'num' }];
    const rows = data.figures.map(function (f) {
      const p = percent(f.base, f.change);
      return [{ text: f.key, sort: f.key, cls: 'text' }, number(f.base), number(f.new), change(f.change),
        { text: p, sort: f.base === 0 ? 0 : f.change / f.base, cls: 'num ' + trend(f.change) }];
    });
    sortableTable('figures', headings, rows);
  }

  // Both runs' series on one record axis: the union of their record
  // numbers, each line null where its run kept no point.
  function bothRuns() {
    const runs = [
      { table: data.memory.base, label: 'base ' + data.base.run_id, colors: BASE_COLORS, dash: BASE_DASH },
      { table: data.memory.new, label: 'new ' + data.new.run_id, colors: NEW_COLORS, dash: undefined },
    ];
    const xs = Array.from(new Set(data.memory.base.x.concat(data.memory.new.x)))
      .sort(function (a, b) { return a - b; });
    const lines = { names: [], x: xs, values: [], colors: [], dashes: [] };
    runs.forEach(function (run) {
      run.table.names.forEach(function (name, c) {
        const at = new Map();
        run.table.x.forEach(function (x, i) { at.set(x, run.table.values[c][i]); });
        lines.names.push(run.label + ': ' + name);
        lines.values.push(xs.map(function (x) { return at.has(x) ? at.get(x) : null; }));
        lines.colors.push(run.colors[c % run.colors.length]);
        lines.dashes.push(run.dash);
      });
    });
    return lines;
  }

  function rgb(hex) {
    return [1, 3, 5].map(function (at) { return parseInt(hex.slice(at, at + 2), 16); });
  }

  // The lines whose colour some opaque pixel of the chart holds.
  function paintedLines(pixels, lines) {
    const wanted = lines.colors.map(rgb);
    const found = wanted.map(function () { return false; });
    for (let i = 0; i < pixels.length; i += 4) {
      if (pixels[i + 3] < OPAQUE) continue;
      wanted.forEach(function (c, k) {
        if (Math.abs(pixels[i] - c[0]) <= COLOR_TOLERANCE && Math.abs(pixels[i + 1] - c[1]) <= COLOR_TOLERANCE &&
            Math.abs(pixels[i + 2] - c[2]) <= COLOR_TOLERANCE) found[k] = true;
      });
    }
    return lines.names.filter(function (name, k) { return found[k]; });
  }

  function memoryChart() {
    const lines = bothRuns();
    body.setAttribute('data-kiv-lines', lines.names.join(' | '));
    const plot = page.lineChart('Memory in use, both runs (base dashed)', lines,
      { colors: lines.colors, dashes: lines.dashes });
    page.whenPainted(function (pixelsOf) {
      body.setAttribute('data-kiv-painted', plot ? paintedLines(pixelsOf(plot), lines).join(' | ') : '');
    });
  }

  function counts(l) {
    if (l.grew.length === 0 && l.shrank.length === 0) {
      return 'No change (' + grouped(l.unchanged) + (l.unchanged === 1 ? ' entry).' : ' entries).');
    }
    return grouped(l.grew.length) + ' grew' + (l.added ? ' (' + grouped(l.added) + ' new)' : '') + ', ' +
      grouped(l.shrank.length) + ' shrank' + (l.gone ? ' (' + grouped(l.gone) + ' gone)' : '') + ', ' +
      grouped(l.unchanged) + ' unchanged.';
  }

  // An entry is [texts, base numbers, new numbers, presence].
  function entries(l, title, rows, id) {
    if (rows.length === 0) return;
    body.appendChild(el('h3', {}, title));
    const headings = [];
    l.numbers.forEach(function (name) {
      headings.push({ text: name + ' base', cls: 'num' }, { text: name + ' new', cls: 'num' },
        { text: name + ' change', cls: 'num' });
    });
    l.texts.forEach(function (name) { headings.push({ text: name, cls: 'text' }); });
    headings.push({ text: '', cls: 'text' });
    sortableTable(id, headings, rows.map(function (e) {
      const cells = [];
      l.numbers.forEach(function (name, c) {
        cells.push(number(e[1][c]), number(e[2][c]), change(e[2][c] - e[1][c]));
      });
      e[0].forEach(function (text) { cells.push({ text: text, sort: text, cls: 'text' }); });
      cells.push({ text: e[3] === 'both' ? '' : e[3], sort: e[3], cls: 'presence' });
      return cells;
    }));
  }

  function list(l) {
    page.section(l.title);
    if (l.base_note && l.base_note === l.new_note) {
      body.appendChild(el('p', { class: 'note', 'data-note': l.key }, l.base_note));
      return;
    }
    body.appendChild(el('p', { class: 'counts', 'data-counts': l.key }, counts(l)));
    if (l.base_note) body.appendChild(el('p', { class: 'note' }, 'Base: ' + l.base_note));
    if (l.new_note) body.appendChild(el('p', { class: 'note' }, 'New: ' + l.new_note));
    entries(l, 'Grew most', l.grew, l.key + '-grew');
    entries(l, 'Shrank most', l.shrank, l.key + '-shrank');
  }

  header();
  figures();
  memoryChart();
  data.lists.forEach(list);
  page.finish();
})();
