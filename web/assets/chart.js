// A small line chart drawn as SVG: time along x, one polyline per series,
// a few labelled grid lines, and a legend. Gaps of more than five minutes
// between samples (the link was down, the service stopped) break the line.
import { el } from '/assets/app.js';

const NS = 'http://www.w3.org/2000/svg';
const W = 560;
const H = 190;
const PAD = { left: 46, right: 10, top: 10, bottom: 24 };
const GAP_MS = 5 * 60 * 1000;

function svg(tag, attrs = {}, text) {
  const node = document.createElementNS(NS, tag);
  for (const [k, v] of Object.entries(attrs)) node.setAttribute(k, String(v));
  if (text !== undefined) node.textContent = text;
  return node;
}

// A rounded step for about four grid lines.
function step(span) {
  const raw = span / 4 || 1;
  const mag = 10 ** Math.floor(Math.log10(raw));
  for (const m of [1, 2, 2.5, 5, 10]) if (m * mag >= raw) return m * mag;
  return 10 * mag;
}

const pad = (n) => String(n).padStart(2, '0');
const hhmm = (t) => {
  const d = new Date(t);
  return pad(d.getHours()) + ':' + pad(d.getMinutes());
};
const hhmmss = (t) => hhmm(t) + ':' + pad(new Date(t).getSeconds());

export function drawChart(title, unit, times, series, classes) {
  const all = series.flatMap(([, values]) => values).filter(Number.isFinite);
  let lo = Math.min(...all);
  let hi = Math.max(...all);
  if (lo === hi) {
    lo -= 1;
    hi += 1;
  }
  const s = step(hi - lo);
  lo = Math.floor(lo / s) * s;
  hi = Math.ceil(hi / s) * s;
  const t0 = times[0];
  const t1 = Math.max(times[times.length - 1], t0 + 60 * 1000);
  const x = (t) => PAD.left + ((t - t0) / (t1 - t0)) * (W - PAD.left - PAD.right);
  const y = (v) => H - PAD.bottom - ((v - lo) / (hi - lo)) * (H - PAD.top - PAD.bottom);

  const last = series.map(([name, values]) => name + ' ' + values[values.length - 1] + ' ' + unit).join(', ');
  const label = title + ' from ' + hhmm(t0) + ' to ' + hhmm(t1) + ', between ' + lo + ' and ' + hi + ' ' + unit +
    '; latest: ' + last;
  const root = svg('svg', { class: 'chart', viewBox: `0 0 ${W} ${H}`, role: 'img', 'aria-label': label });
  root.append(svg('title', {}, label));
  for (let v = lo; v <= hi + s / 1000; v += s) {
    root.append(svg('line', { class: 'grid', x1: PAD.left, x2: W - PAD.right, y1: y(v), y2: y(v) }));
    root.append(svg('text', { x: PAD.left - 6, y: y(v) + 4, 'text-anchor': 'end' }, String(Math.round(v * 100) / 100)));
  }
  const ticks = 4;
  for (let i = 0; i <= ticks; i += 1) {
    const t = t0 + ((t1 - t0) * i) / ticks;
    const label = t1 - t0 < 20 * 60 * 1000 ? hhmmss(t) : hhmm(t);
    root.append(svg('text', { x: x(t), y: H - 6, 'text-anchor': i === 0 ? 'start' : i === ticks ? 'end' : 'middle' }, label));
  }
  root.append(svg('line', { class: 'axis', x1: PAD.left, x2: PAD.left, y1: PAD.top, y2: H - PAD.bottom }));
  root.append(svg('line', { class: 'axis', x1: PAD.left, x2: W - PAD.right, y1: H - PAD.bottom, y2: H - PAD.bottom }));

  const legend = el('ul', { className: 'legend' });
  series.forEach(([name, values], k) => {
    const cls = 's' + (classes ? classes[k] : k);
    let points = [];
    const flush = () => {
      if (points.length === 1) {
        const [cx, cy] = points[0].split(',');
        root.append(svg('circle', { class: cls, cx, cy, r: 1.5 }));
      } else if (points.length) {
        root.append(svg('polyline', { class: cls, points: points.join(' ') }));
      }
      points = [];
    };
    values.forEach((v, i) => {
      if (i > 0 && times[i] - times[i - 1] > GAP_MS) flush();
      if (Number.isFinite(v)) points.push(x(times[i]).toFixed(1) + ',' + y(v).toFixed(1));
    });
    flush();
    legend.append(el('li', {}, el('span', { className: 'swatch ' + cls }), name));
  });
  return el('figure', { className: 'box' }, el('figcaption', { text: title + ' (' + unit + ')' }), root, legend);
}
