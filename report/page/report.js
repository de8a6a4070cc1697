// Builds the report page from the data block that kivdb wrote into it.
// When everything is drawn the body carries data-kiv-ready="yes", the
// number of charts (data-kiv-charts) and of charts whose canvas holds
// painted pixels (data-kiv-drawn); script errors are counted in
// data-kiv-errors. The flame graph's state is in data-kiv-flame ("painted"
// once its canvas holds pixels, "none" without stacks), data-kiv-flame-
// measure, data-kiv-flame-focus and data-kiv-flame-top (the names of the
// focus's largest children, joined by " | "). Automated checks read these
// attributes.
(function () {
  'use strict';

  const body = document.body;
  let errors = 0;
  window.addEventListener('error', function () {
    errors += 1;
    body.setAttribute('data-kiv-errors', String(errors));
  });

  const data = JSON.parse(document.getElementById('kiv-data').textContent);
  const CHART_HEIGHT = 320;
  const COLORS = ['#1f77b4', '#d62728', '#2ca02c', '#ff7f0e', '#9467bd', '#8c564b',
                  '#e377c2', '#17becf', '#7f7f7f', '#bcbd22'];
  const MARKER_COLORS = { user: '#ff7f0e', start: '#2ca02c', end: '#d62728' };
  const charts = [];

  function el(tag, attrs, text) {
    const node = document.createElement(tag);
    for (const name in attrs || {}) node.setAttribute(name, attrs[name]);
    if (text !== undefined) node.textContent = text;
    return node;
  }

  function grouped(n) {
    return Number(n).toLocaleString('en-US');
  }

  function bytes(n) {
    const units = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];
    let value = Math.abs(n);
    let unit = 0;
    while (value >= 1024 && unit < units.length - 1) {
      value /= 1024;
      unit += 1;
    }
    const sign = n < 0 ? '-' : '';
    return sign + (unit === 0 ? String(value) : value.toFixed(value < 10 ? 1 : 0)) + ' ' + units[unit];
  }

  // Time text of the memory chart's kept point at or before record x: the
  // other charts share its record axis and carry no times of their own.
  function timeAt(x) {
    const table = data.memory;
    const xs = table.x;
    if (xs.length === 0) return '';
    let lo = 0;
    let hi = xs.length - 1;
    while (lo < hi) {
      const mid = (lo + hi + 1) >> 1;
      if (xs[mid] <= x) lo = mid; else hi = mid - 1;
    }
    return table.time[lo];
  }

  function clock(time) {
    const at = time.indexOf(' ');
    return at < 0 ? time : time.slice(at + 1);
  }

  const stacks = kivFlame({ el: el, bytes: bytes, grouped: grouped, frames: data.frames });

  function section(title) {
    const h = el('h2', {}, title);
    body.appendChild(h);
    return h;
  }

  function figure(parent, label, value, note) {
    const box = el('div', { class: 'figure' });
    box.appendChild(el('div', { class: 'label' }, label));
    box.appendChild(el('div', { class: 'value' }, value));
    if (note) box.appendChild(el('div', { class: 'note' }, note));
    parent.appendChild(box);
  }

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

  // Vertical lines for user markers and process starts and ends.
  function markerPlugin(markers) {
    return {
      hooks: {
        draw: function (u) {
          const ctx = u.ctx;
          const top = u.bbox.top;
          const bottom = u.bbox.top + u.bbox.height;
          ctx.save();
          ctx.font = (10 * devicePixelRatio) + 'px sans-serif';
          ctx.setLineDash([4 * devicePixelRatio, 3 * devicePixelRatio]);
          // A label is written only where it does not run into the last one.
          let labelEnd = -Infinity;
          for (const m of markers) {
            const x = Math.round(u.valToPos(m.record, 'x', true));
            if (x < u.bbox.left || x > u.bbox.left + u.bbox.width) continue;
            ctx.strokeStyle = MARKER_COLORS[m.kind];
            ctx.fillStyle = MARKER_COLORS[m.kind];
            ctx.globalAlpha = m.kind === 'user' ? 0.6 : 0.9;
            ctx.beginPath();
            ctx.moveTo(x, top);
            ctx.lineTo(x, bottom);
            ctx.stroke();
            const label = m.text.slice(0, 24);
            if (x + 3 > labelEnd) {
              ctx.fillText(label, x + 3, top + 12 * devicePixelRatio);
              labelEnd = x + 3 + ctx.measureText(label).width + 6 * devicePixelRatio;
            }
          }
          ctx.restore();
        },
      },
    };
  }

  function width() {
    return Math.max(320, Math.min(body.clientWidth, 1200) - 10);
  }

  // A line chart over record numbers with the time on the top axis.
  function lineChart(title, table, options) {
    section(title);
    const box = el('div', { class: 'chart' });
    body.appendChild(box);
    if (table.x.length === 0 || table.names.length === 0) {
      box.appendChild(el('p', { class: 'empty' }, 'No memory records.'));
      return;
    }
    const series = [{
      label: 'record',
      value: function (u, v) { return v == null ? '-' : grouped(v) + ' (' + clock(timeAt(v)) + ')'; },
    }];
    table.names.forEach(function (name, i) {
      series.push({
        label: name,
        stroke: COLORS[i % COLORS.length],
        width: 1.5,
        paths: options.stepped ? uPlot.paths.stepped({ align: 1 }) : undefined,
        value: function (u, v) { return v == null ? '-' : bytes(v); },
      });
    });
    const plot = new uPlot({
      width: width(),
      height: CHART_HEIGHT,
      scales: { x: { time: false } },
      series: series,
      axes: [
        { label: 'memory record', values: function (u, splits) { return splits.map(grouped); } },
        { values: function (u, splits) { return splits.map(bytes); }, size: 70 },
        { scale: 'x', side: 0, space: 110, label: 'time',
          values: function (u, splits) { return splits.map(function (s) { return clock(timeAt(s)); }); } },
      ],
      plugins: options.markers ? [markerPlugin(options.markers)] : [],
    }, [table.x].concat(table.values), box);
    charts.push(plot);
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

  // Counts the charts whose canvas holds at least one painted pixel.
  function drawnCharts() {
    let drawn = 0;
    for (const plot of charts) {
      const canvas = plot.root.querySelector('canvas');
      if (!canvas || canvas.width === 0 || canvas.height === 0) continue;
      const pixels = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
      for (let i = 3; i < pixels.length; i += 4) {
        if (pixels[i] !== 0) {
          drawn += 1;
          break;
        }
      }
    }
    return drawn;
  }

  summary();
  lineChart(data.memory_title || 'Memory in use', data.memory, { markers: data.markers });
  if (data.malids.names.length > 0) lineChart('Top malloc ids in use', data.malids, { stepped: true });
  data.processes.forEach(function (p) { lineChart(p.title, p.series, {}); });
  histogram();
  flameGraph();
  data.lists.forEach(table);

  // uPlot paints in a microtask after its construction; a timer runs
  // after that (animation frames may never come in a hidden window).
  setTimeout(function () {
    body.setAttribute('data-kiv-charts', String(charts.length));
    body.setAttribute('data-kiv-drawn', String(drawnCharts()));
    body.setAttribute('data-kiv-errors', String(errors));
    body.setAttribute('data-kiv-ready', 'yes');
  }, 0);
})();
