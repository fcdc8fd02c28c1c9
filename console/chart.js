// A small SVG line chart: a few series of (time, value) points over a time window, a value
// axis that starts at zero, and a legend with each series' latest value. Colours come from the
// style sheet (classes series-0, series-1, ...), so the chart carries no inline styles.

const SVG_NS = 'http://www.w3.org/2000/svg';
const MARGIN = { right: 14, top: 10, bottom: 22 };
const MIN_SPAN_MS = 10_000;

function svgElement(name, attributes, parent) {
  const element = document.createElementNS(SVG_NS, name);
  for (const [key, value] of Object.entries(attributes)) element.setAttribute(key, String(value));
  if (parent) parent.append(element);
  return element;
}

// The smallest of 1, 2, 2.5 or 5 times a power of ten that is at least `value`, so that the
// axis' quarter lines fall on round numbers.
export function niceCeiling(value) {
  if (!(value > 0)) return 1;
  const power = 10 ** Math.floor(Math.log10(value));
  for (const step of [1, 2, 2.5, 5, 10]) {
    if (step * power >= value) return step * power;
  }
  return 10 * power;
}

function clockLabel(ms) {
  return new Date(ms).toLocaleTimeString([], { hour: '2-digit', minute: '2-digit', second: '2-digit' });
}

export class LineChart {
  // options: series [{key, label}], unit ('%' or ''), minMax (the axis' least top, e.g. 100),
  // windowMs (a live chart's span; omit to span the data), growing (a live chart spans its data
// until that fills the window, at least MIN_SPAN_MS), maxPoints, format(value) for the
  // legend, axisFormat(value) for the value axis, axisWidth (room for its labels), marks [{value, state}] (limits drawn as
  // dashed lines while they fit under the axis' top), and the drawing's size in its own units
  // (width, height): text keeps its size only if the drawing is shown at about that many
  // pixels.
  constructor(figure, options) {
    this.figure = figure;
    this.options = { unit: '', minMax: 1, maxPoints: 600, width: 380, height: 180, marks: [], axisWidth: 36, ...options };
    this.left = this.options.axisWidth;
    this.plotWidth = this.options.width - this.left - MARGIN.right;
    this.plotHeight = this.options.height - MARGIN.top - MARGIN.bottom;
    this.format = options.format ?? ((v) => `${Math.trunc(v)}${this.options.unit ? ` ${this.options.unit}` : ''}`);
    this.axisFormat = options.axisFormat ?? ((v) => String(Number(v.toFixed(2))));
    this.points = new Map(this.options.series.map((s) => [s.key, []]));
    this.plot = svgElement('svg', {
      viewBox: `0 0 ${this.options.width} ${this.options.height}`, role: 'img', class: 'chart-plot',
    }, figure);
    this.legend = document.createElement('ul');
    this.legend.className = 'chart-legend';
    this.readouts = new Map();
    this.options.series.forEach((series, index) => {
      const item = document.createElement('li');
      item.className = `series-${index}`;
      const swatch = document.createElement('span');
      swatch.className = 'swatch';
      swatch.setAttribute('aria-hidden', 'true');
      const readout = document.createElement('output');
      readout.textContent = '–';
      item.append(swatch, `${series.label} `, readout);
      this.legend.append(item);
      this.readouts.set(series.key, readout);
    });
    figure.append(this.legend);
    this.render();
  }

  append(key, newPoints) {
    const list = this.points.get(key);
    if (!list) return;
    list.push(...newPoints);
    if (list.length > this.options.maxPoints) list.splice(0, list.length - this.options.maxPoints);
  }

  replace(key, newPoints) {
    if (!this.points.has(key)) return;
    this.points.set(key, newPoints.slice(-this.options.maxPoints));
  }

  clear() {
    for (const key of this.points.keys()) this.points.set(key, []);
  }

  // The time span shown: a live chart ends at its newest point; a history spans its data.
  timeRange(all) {
    if (all.length === 0) return [0, 1];
    const newest = Math.max(...all.map((p) => p.t));
    const oldest = Math.min(...all.map((p) => p.t));
    if (this.options.windowMs) {
      const start = newest - this.options.windowMs;
      return [this.options.growing ? Math.max(start, Math.min(oldest, newest - MIN_SPAN_MS)) : start, newest];
    }
    return oldest === newest ? [oldest - 1000, newest] : [oldest, newest];
  }

  render() {
    const all = [...this.points.values()].flat();
    const [start, end] = this.timeRange(all);
    const top = niceCeiling(Math.max(this.options.minMax, ...all.map((p) => p.v)));
    const x = (t) => this.left + ((t - start) / (end - start)) * this.plotWidth;
    const y = (v) => MARGIN.top + this.plotHeight - (Math.min(v, top) / top) * this.plotHeight;
    this.plot.replaceChildren();
    this.drawAxes(top, start, end, x, y);
    this.options.series.forEach((series, index) => {
      const visible = this.points.get(series.key).filter((p) => p.t >= start);
      if (visible.length > 0) {
        const d = visible.map((p, i) => `${i === 0 ? 'M' : 'L'}${x(p.t).toFixed(1)},${y(p.v).toFixed(1)}`).join('');
        svgElement('path', { d, class: `line series-${index}` }, this.plot);
      }
    });
    this.updateLegend();
  }

  drawAxes(top, start, end, x, y) {
    for (let i = 0; i <= 4; i += 1) {
      const value = (top * i) / 4;
      svgElement('line', { x1: this.left, x2: this.options.width - MARGIN.right, y1: y(value), y2: y(value), class: 'grid' }, this.plot);
      const label = svgElement('text', { x: this.left - 6, y: y(value) + 4, class: 'axis-label y' }, this.plot);
      label.textContent = this.axisFormat(value);
    }
    for (const mark of this.options.marks.filter((m) => m.value <= top)) {
      svgElement('line', {
        x1: this.left, x2: this.options.width - MARGIN.right, y1: y(mark.value), y2: y(mark.value), class: `mark ${mark.state}`,
      }, this.plot);
    }
    for (let i = 0; i <= 4; i += 1) {
      const t = start + ((end - start) * i) / 4;
      // The outer labels lean inwards so that they are not cut at the drawing's edges.
      const align = ['start', 'middle', 'middle', 'middle', 'end'][i];
      const label = svgElement('text', { x: x(t), y: this.options.height - 6, class: `axis-label x ${align}` }, this.plot);
      label.textContent = this.options.windowMs
        ? (i === 4 ? 'now' : `−${Math.round((end - t) / 1000)} s`)
        : clockLabel(t);
    }
  }

  updateLegend() {
    const summary = [];
    let count = 0;
    for (const series of this.options.series) {
      const list = this.points.get(series.key);
      count = Math.max(count, list.length);
      const latest = list.length > 0 ? this.format(list[list.length - 1].v) : '–';
      this.readouts.get(series.key).textContent = latest;
      summary.push(`${series.label} ${latest}`);
    }
    // The number of points lets a reader (and the browser tests) see the chart move.
    this.figure.dataset.points = String(count);
    this.plot.setAttribute('aria-label', summary.join(', '));
  }
}
