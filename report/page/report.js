// Builds the report page from the data block that kivdb wrote into it,
// with the parts kivdb's pages share (kivPage, page/common.js). The flame
// graph's state is in data-kiv-flame ("painted" once its canvas holds
// pixels, "none" without stacks), data-kiv-flame-measure,
// data-kiv-flame-focus and data-kiv-flame-top (the names of the focus's
// largest children, joined by " | "). Automated checks read these
// attributes.
(function () {
  'use strict';

  const page = kivPage();
  const body = page.body;
  const data = page.data;
  const CHART_HEIGHT = page.CHART_HEIGHT;
  const COLORS = page.COLORS;
  const charts = page.charts;
  const el = page.el;
  const grouped = page.grouped;
  const bytes = page.bytes;
  const section = page.section;
  const figure = page.figure;
  const width = page.width;
  // The other charts share the memory chart's record axis and its times.
  const timeAt = page.timeLookup(data.memory);
  const stacks = kivFlame({ el: el, bytes: bytes, grouped: grouped, frames: data.frames });

  function summary() {
    const s = data.summary;
    body.appendChild(el('h1', {}, 'Memory report of run ' + s.run_id));
    body.appendChild(el('p', { class: 'sub' },
      (s.program || '-') + ' on ' + (s.host || '-') + ' by ' + (s.user || '-') +
      ', ' + (s.start_time || '-') + ' to ' + (s.end_time || '-')));
    if (s.cut_short.length > 0) {
      const box = el('div', { class: 'cut', id: 'cut-short' });
      box.appendChild(el('strong', {}, 'Cut short: the figures cover what was recorded and converted.'));
      s.cut_short.forEach(function (reason) { box.appendChild(el('div', {}, reason)); });
      body.appendChild(box);
    }
    const grid = el('div', { class: 'figures', id: 'summary' });
    figure(grid, 'Peak in use (with free)', bytes(s.peak_bytes),
      grouped(s.peak_bytes) + ' bytes in ' + grouped(s.peak_blocks) + ' blocks' +
      (s.memory_records ? ', record ' + grouped(s.peak_record) +
        (s.headers > 1 ? ' of header ' + s.peak_image + ' (pid ' + s.peak_pid + ')' : '') +
        ' at ' + s.peak_time : ''));
    figure(grid, 'Alive at the end (with free)', bytes(s.live_bytes_at_end),
      grouped(s.live_bytes_at_end) + ' bytes in ' + grouped(s.live_blocks_at_end) + ' blocks');
    figure(grid, 'No-free at the end', bytes(s.nofree_bytes_at_end),
      grouped(s.nofree_bytes_at_end) + ' bytes');
    figure(grid, 'Memory records', grouped(s.memory_records),
      s.headers > 1 ? 'in ' + grouped(s.headers) + ' headers' : '');
    figure(grid, 'Processes', grouped(s.processes), '');
    body.appendChild(grid);
  }

  function lineChart(title, table, options) {
    page.lineChart(title, table, Object.assign({ time: timeAt }, options));
  }

  function histogram() {
    section('Allocation sizes');
    const box = el('div', { class: 'chart' });
    body.appendChild(box);
    const counts = data.sizes.counts;
    if (counts.length === 0) {
      box.appendChild(el('p', { class: 'empty' }, 'No allocations.'));
      return;
    }
    const xs = counts.map(function (c, i) { return i; });
    const limit = function (i) { return i === 0 ? '\u22641 B' : '\u2264' + bytes(Math.pow(2, i)); };
    const plot = new uPlot({
      width: width(),
      height: CHART_HEIGHT,
      scales: { x: { time: false, range: [-0.5, counts.length - 0.5] } },
      series: [
        { label: 'size', value: function (u, v) { return v == null ? '-' : limit(v); } },
        { label: 'allocations', stroke: COLORS[0], fill: COLORS[0] + '99',
          paths: uPlot.paths.bars({ size: [0.8, 60] }), points: { show: false },
          value: function (u, v) { return v == null ? '-' : grouped(v); } },
      ],
      axes: [
        { label: 'allocation size', incrs: [1], values: function (u, splits) { return splits.map(limit); } },
        { values: function (u, splits) { return splits.map(grouped); }, size: 70 },
      ],
    }, [xs, counts], box);
    charts.push(plot);
  }

  function sortRows(rows, column, textCount, ascending) {
    const pick = column < textCount
      ? function (r) { return r[0][column]; }
      : function (r) { return r[1][column - textCount]; };
    rows.sort(function (a, b) {
      const x = pick(a);
      const y = pick(b);
      const order = x < y ? -1 : x > y ? 1 : 0;
      return ascending ? order : -order;
    });
  }

  // A sortable table showing `top` rows until "show all" is pressed.
  function table(list) {
    section(list.title);
    if (list.note) {
      body.appendChild(el('p', { class: 'note', 'data-note': list.key }, list.note));
      return;
    }
    if (list.rows.length === 0) {
      body.appendChild(el('p', { class: 'empty' }, 'None.'));
      return;
    }
    const rows = list.rows.slice();
    const textCount = list.texts.length;
    const t = el('table', { 'data-list': list.key });
    const head = el('tr');
    const columns = list.numbers.map(function (n) { return { name: n, num: true }; })
      .concat(list.texts.map(function (n) { return { name: n, num: false }; }));
    const tbody = el('tbody');
    let showAll = false;
    function fill() {
      tbody.textContent = '';
      const shown = showAll ? rows.length : Math.min(data.top, rows.length);
      for (let r = 0; r < shown; ++r) {
        const tr = el('tr');
        rows[r][1].forEach(function (n, c) {
          const id = list.numbers[c] === 'malid';
          tr.appendChild(el('td', { class: 'num' }, id ? String(n) : grouped(n)));
        });
        rows[r][0].forEach(function (s) { tr.appendChild(el('td', { class: 'text' }, s)); });
        if (rows[r][2]) stacks.openable(tr, rows[r][2], columns.length);
        tbody.appendChild(tr);
      }
    }
    columns.forEach(function (column, visual) {
      const th = el('th', { class: column.num ? 'num' : 'text' }, column.name);
      const index = column.num ? textCount + visual : visual - list.numbers.length;
      th.addEventListener('click', function () {
        const ascending = th.getAttribute('data-order') === 'desc';
        head.querySelectorAll('th').forEach(function (h) { h.removeAttribute('data-order'); });
        th.setAttribute('data-order', ascending ? 'asc' : 'desc');
        sortRows(rows, index, textCount, ascending);
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

  function flameGraph() {
    if (data.flame.length === 0) {
      body.setAttribute('data-kiv-flame', 'none');
      return;
    }
    section('Call stacks');
    stacks.graph(body, data.flame, width(), function (state) {
      body.setAttribute('data-kiv-flame', state.painted ? 'painted' : 'blank');
      body.setAttribute('data-kiv-flame-measure', state.measure);
      body.setAttribute('data-kiv-flame-focus', state.focus);
      body.setAttribute('data-kiv-flame-top', state.top.join(' | '));
    });
  }

  summary();
  lineChart(data.memory_title || 'Memory in use', data.memory, { markers: data.markers });
  if (data.malids.names.length > 0) lineChart('Top malloc ids in use', data.malids, { stepped: true });
  data.processes.forEach(function (p) { lineChart(p.title, p.series, {}); });
  histogram();
  flameGraph();
  data.lists.forEach(table);

  page.finish();
})();
