// The drawing parts that kivdb's pages share (the report and the
// comparison of two runs): elements, number formats, line charts over
// memory record numbers, and the state automated checks read. When a page
// calls finish(), the body carries data-kiv-ready="yes", the number of
// charts (data-kiv-charts) and of charts whose canvas holds painted pixels
// (data-kiv-drawn); script errors are counted in data-kiv-errors.
function kivPage() {
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

  // The time text of a series' kept point at or before record x: charts
  // that share its record axis carry no times of their own.
  function timeLookup(table) {
    return function (x) {
      const xs = table.x;
      if (xs.length === 0) return '';
      let lo = 0;
      let hi = xs.length - 1;
      while (lo < hi) {
        const mid = (lo + hi + 1) >> 1;
        if (xs[mid] <= x) lo = mid; else hi = mid - 1;
      }
      return table.time[lo];
    };
  }

  function clock(time) {
    const at = time.indexOf(' ');
    return at < 0 ? time : time.slice(at + 1);
  }

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
    return box;
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

  // A line chart of byte values over record numbers. table: names, x and
  // one array of values per name (null where a line has no point; the
  // line runs on across it). options: time (record -> time text, drawn on
  // the top axis and in the legend), markers, stepped, colors and dashes
  // (one per name). Gives the chart, or nothing when there is no point.
  function lineChart(title, table, options) {
    section(title);
    const box = el('div', { class: 'chart' });
    body.appendChild(box);
    if (table.x.length === 0 || table.names.length === 0) {
      box.appendChild(el('p', { class: 'empty' }, 'No memory records.'));
      return;
    }
    const time = options.time;
    const series = [{
      label: 'record',
      value: function (u, v) {
        if (v == null) return '-';
        return time ? grouped(v) + ' (' + clock(time(v)) + ')' : grouped(v);
      },
    }];
    const colors = options.colors || COLORS;
    table.names.forEach(function (name, i) {
      series.push({
        label: name,
        stroke: colors[i % colors.length],
        width: 1.5,
        dash: options.dashes ? options.dashes[i] : undefined,
        spanGaps: true,
        paths: options.stepped ? uPlot.paths.stepped({ align: 1 }) : undefined,
        value: function (u, v) { return v == null ? '-' : bytes(v); },
      });
    });
    const axes = [
      { label: 'memory record', values: function (u, splits) { return splits.map(grouped); } },
      { values: function (u, splits) { return splits.map(bytes); }, size: 70 },
    ];
    if (time) {
      axes.push({ scale: 'x', side: 0, space: 110, label: 'time',
        values: function (u, splits) { return splits.map(function (s) { return clock(time(s)); }); } });
    }
    const plot = new uPlot({
      width: width(),
      height: CHART_HEIGHT,
      scales: { x: { time: false } },
      series: series,
      axes: axes,
      plugins: options.markers ? [markerPlugin(options.markers)] : [],
    }, [table.x].concat(table.values), box);
    charts.push(plot);
    return plot;
  }

  // The pixels of a chart's canvas (RGBA), read once however often they
  // are asked for: repeated reads of a canvas slow it down.
  const pixelCache = new Map();
  function pixelsOf(plot) {
    if (pixelCache.has(plot)) return pixelCache.get(plot);
    const canvas = plot.root.querySelector('canvas');
    const pixels = !canvas || canvas.width === 0 || canvas.height === 0 ? new Uint8ClampedArray(0)
      : canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
    pixelCache.set(plot, pixels);
    return pixels;
  }

  // Counts the charts whose canvas holds at least one painted pixel.
  function drawnCharts() {
    let drawn = 0;
    for (const plot of charts) {
      const pixels = pixelsOf(plot);
      for (let i = 3; i < pixels.length; i += 4) {
        if (pixels[i] !== 0) {
          drawn += 1;
          break;
        }
      }
    }
    return drawn;
  }

  // Checks a page adds on what its charts painted: each is called with
  // pixelsOf once the charts are painted, before the page says it is ready.
  const paintedChecks = [];
  function whenPainted(check) {
    paintedChecks.push(check);
  }

  // uPlot paints in a microtask after its construction; a timer runs
  // after that (animation frames may never come in a hidden window).
  function finish() {
    setTimeout(function () {
      paintedChecks.forEach(function (check) { check(pixelsOf); });
      body.setAttribute('data-kiv-charts', String(charts.length));
      body.setAttribute('data-kiv-drawn', String(drawnCharts()));
      body.setAttribute('data-kiv-errors', String(errors));
      body.setAttribute('data-kiv-ready', 'yes');
    }, 0);
  }

  return {
    body: body, data: data, charts: charts, CHART_HEIGHT: CHART_HEIGHT, COLORS: COLORS,
    el: el, grouped: grouped, bytes: bytes, timeLookup: timeLookup, clock: clock, section: section,
    figure: figure, width: width, lineChart: lineChart, whenPainted: whenPainted, finish: finish,
  };
}
