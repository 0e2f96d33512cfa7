// The loudness wall: every loudness monitor of the engine at once, one tile each, read from
// GET /api/monitors about twelve times a second (one request in flight at a time).
//
// Tiles are built once per set of monitors from the page's template; each update writes only
// the texts, widths and classes that changed, so a wall of 32 tiles costs the browser little.
// Everything a monitor tells (its name above all) is shown through textContent, never as markup.
'use strict';

// ---- What the API says ----------------------------------------------------------------------

const MONITORS_PATH = '/api/monitors';
const LOGIN_PATH = '/login';
const SessionState = Object.freeze({
  STOPPED: 'stopped', RUNNING: 'running', PAUSED: 'paused', WAITING: 'waiting', BUSY: 'busy',
});
const STATE_LABELS = Object.freeze({
  [SessionState.STOPPED]: 'Stopped',
  [SessionState.RUNNING]: 'Running',
  [SessionState.PAUSED]: 'Paused',
  [SessionState.WAITING]: 'Waiting',
  [SessionState.BUSY]: 'Busy',
});
const HTTP_UNAUTHORIZED = 401;
const HTTP_FORBIDDEN = 403;

// ---- How the wall behaves -------------------------------------------------------------------

const POLL_INTERVAL_MS = 80;       // from the start of one request to the start of the next
const RETRY_FIRST_MS = 250;        // after a failed request; doubles up to RETRY_MOST_MS
const RETRY_MOST_MS = 4000;
const FRESH_ERROR_MS = 10000;      // a tile stays red this long after its error count grew
const RATE_WINDOW_MS = 1000;       // the update rate in the bar is counted over this long
// The bars' scale, in LU from the monitor's target: room below for quiet passages, enough above
// to see how far a loud one overshoots.
const SCALE_BELOW_LU = -15;
const SCALE_ABOVE_LU = 6;
const NO_VALUE = '--';

const Level = Object.freeze({ UNDER: 'under', IN: 'in', OVER: 'over' });
const Overlay = Object.freeze({ NONE: '', LINK_DOWN: 'Link down', NO_DATA: 'No data' });

// ---- Formatting -----------------------------------------------------------------------------

function isNumber(value) {
  return typeof value === 'number' && Number.isFinite(value);
}

function levelText(value) {
  return isNumber(value) ? value.toFixed(1) : NO_VALUE;
}

function durationText(seconds) {
  const whole = isNumber(seconds) && seconds > 0 ? Math.floor(seconds) : 0;
  const two = (n) => String(n).padStart(2, '0');
  return `${two(Math.floor(whole / 3600))}:${two(Math.floor(whole / 60) % 60)}:${two(whole % 60)}`;
}

// The monitor's target band, LUFS and LU; the usual one where the answer gives none.
const DEFAULT_TARGET_LUFS = -23;
const DEFAULT_TOLERANCE_LU = 1;
function bandOf(monitor) {
  return {
    target: isNumber(monitor.target) ? monitor.target : DEFAULT_TARGET_LUFS,
    tolerance: isNumber(monitor.tolerance) && monitor.tolerance >= 0 ? monitor.tolerance
      : DEFAULT_TOLERANCE_LU,
  };
}

// Where `value` lies against the band target +- tolerance.
function levelAgainst(value, band) {
  if (value > band.target + band.tolerance) return Level.OVER;
  if (value < band.target - band.tolerance) return Level.UNDER;
  return Level.IN;
}

// The fraction 0..1 of the bar's scale at which `value` lies.
function scaleFraction(value, target) {
  const fraction = (value - target - SCALE_BELOW_LU) / (SCALE_ABOVE_LU - SCALE_BELOW_LU);
  return Math.min(1, Math.max(0, fraction));
}

function errorCount(errors) {
  if (errors === null || typeof errors !== 'object') return 0;
  let total = 0;
  for (const count of Object.values(errors)) if (isNumber(count)) total += count;
  return total;
}

// ---- A tile ---------------------------------------------------------------------------------

// Writes only what differs from what the element shows: an update of the whole wall that
// changes nothing touches nothing.
function setText(element, text) {
  if (element.textContent !== text) element.textContent = text;
}

function setClass(element, name, on) {
  if (element.classList.contains(name) !== on) element.classList.toggle(name, on);
}

class Meter {
  constructor(root) {
    this.band = root.querySelector('.band');
    this.fill = root.querySelector('.fill');
    this.value = root.querySelector('.value');
    this.shownFraction = -1;
    this.shownLevel = null;
    this.shownBand = '';
  }

  show(value, band) {
    setText(this.value, levelText(value));
    const bandKey = `${band.target}/${band.tolerance}`;
    if (bandKey !== this.shownBand) {
      this.shownBand = bandKey;
      const low = scaleFraction(band.target - band.tolerance, band.target);
      const high = scaleFraction(band.target + band.tolerance, band.target);
      this.band.style.left = `${(low * 100).toFixed(2)}%`;
      this.band.style.width = `${((high - low) * 100).toFixed(2)}%`;
    }
    const fraction = isNumber(value) ? scaleFraction(value, band.target) : 0;
    // A transform moves no layout: the bars redraw without reflowing the tile.
    if (Math.abs(fraction - this.shownFraction) >= 0.001) {
      this.shownFraction = fraction;
      this.fill.style.transform = `scaleX(${fraction.toFixed(4)})`;
    }
    const level = isNumber(value) ? levelAgainst(value, band) : null;
    if (level !== this.shownLevel) {
      for (const name of Object.values(Level)) setClass(this.fill, name, name === level);
      this.shownLevel = level;
    }
  }
}

class Tile {
  constructor(template, id) {
    this.root = template.content.firstElementChild.cloneNode(true);
    this.root.dataset.monitorId = String(id);
    const find = (selector) => this.root.querySelector(selector);
    this.name = find('.name');
    this.state = find('.state');
    this.momentary = new Meter(find('.momentary-meter'));
    this.shortTerm = new Meter(find('.short-term-meter'));
    this.integrated = find('.integrated');
    this.range = find('.range');
    this.truePeak = find('.true-peak');
    this.time = find('.time');
    this.errors = find('.errors');
    this.overlay = find('.overlay');
    this.errorSequence = null;
    this.errorGrewAt = -Infinity;
  }

  show(monitor, now) {
    const name = String(monitor.name ?? '');
    setText(this.name, name);
    if (this.name.title !== name) this.name.title = name;
    const state = String(monitor.state ?? '');
    setText(this.state, STATE_LABELS[state] ?? state);
    for (const code of Object.values(SessionState)) setClass(this.root, code, code === state);

    const band = bandOf(monitor);
    this.momentary.show(monitor.momentary, band);
    this.shortTerm.show(monitor.shortTerm, band);
    setText(this.integrated, levelText(monitor.integrated));
    const integrated = isNumber(monitor.integrated) ? levelAgainst(monitor.integrated, band)
      : null;
    setClass(this.integrated, 'off-target', integrated !== null && integrated !== Level.IN);
    setClass(this.integrated, 'on-target', integrated === Level.IN);
    setText(this.range, levelText(monitor.range));
    setText(this.truePeak, levelText(monitor.truePeak));
    setClass(this.truePeak, 'over-limit',
      isNumber(monitor.truePeak) && isNumber(monitor.truePeakLimit) &&
      monitor.truePeak > monitor.truePeakLimit);
    setText(this.time, durationText(monitor.runningSeconds));

    // Red while an error is new, amber while the session holds any.
    const sequence = isNumber(monitor.errorSequence) ? monitor.errorSequence : 0;
    if (this.errorSequence !== null && sequence > this.errorSequence) this.errorGrewAt = now;
    this.errorSequence = sequence;
    const count = errorCount(monitor.errors);
    const lastError = String(monitor.lastError ?? '');
    setText(this.errors, lastError !== '' ? lastError
      : count > 0 ? `${count} error${count === 1 ? '' : 's'}` : '');
    if (this.errors.title !== lastError) this.errors.title = lastError;
    const fresh = now - this.errorGrewAt < FRESH_ERROR_MS;
    setClass(this.root, 'error-new', fresh);
    setClass(this.root, 'error-held', !fresh && (count > 0 || lastError !== ''));

    const overlay = monitor.linkUp === false ? Overlay.LINK_DOWN
      : monitor.noData === true ? Overlay.NO_DATA : Overlay.NONE;
    setText(this.overlay, overlay);
    setClass(this.root, 'link-down', overlay === Overlay.LINK_DOWN);
    setClass(this.root, 'no-data', overlay === Overlay.NO_DATA);
  }
}

// ---- The wall -------------------------------------------------------------------------------

const wall = {
  root: document.getElementById('wall'),
  template: document.getElementById('tile-template'),
  status: document.getElementById('status'),
  banner: document.getElementById('banner'),
  tiles: new Map(),  // monitor id -> Tile, in the API's order
  layoutKey: '',
  updates: 0,
  rateStarted: performance.now(),
  rateUpdates: 0,
  rate: 0,
};

// The columns and rows that give `count` tiles the largest size in the wall's area, tiles
// being wider than tall (TILE_ASPECT) but free to stretch.
const TILE_ASPECT = 0.9;  // height over width the layout aims at
function gridFor(count, width, height) {
  let best = { columns: 1, rows: Math.max(1, count), score: -1 };
  for (let columns = 1; columns <= Math.max(1, count); ++columns) {
    const rows = Math.max(1, Math.ceil(count / columns));
    const tileWidth = width / columns;
    const tileHeight = height / rows;
    // The largest tile of the aimed shape that fits the cell.
    const score = Math.min(tileWidth, tileHeight / TILE_ASPECT);
    if (score > best.score) best = { columns, rows, score };
  }
  return best;
}

function layOut() {
  const count = wall.tiles.size;
  const grid = gridFor(count, wall.root.clientWidth, wall.root.clientHeight);
  const key = `${grid.columns}x${grid.rows}`;
  if (key === wall.layoutKey) return;
  wall.layoutKey = key;
  wall.root.style.gridTemplateColumns = `repeat(${grid.columns}, minmax(0, 1fr))`;
  wall.root.style.gridTemplateRows = `repeat(${grid.rows}, minmax(0, 1fr))`;
}

// Builds the tiles again when the monitors are not those shown (the engine's configuration
// changed); an update of the same monitors keeps every element.
function ensureTiles(monitors) {
  const ids = monitors.map((monitor) => monitor.id);
  const shown = [...wall.tiles.keys()];
  const same = ids.length === shown.length && ids.every((id, index) => shown[index] === id);
  if (same) return;
  const tiles = new Map();
  for (const id of ids) tiles.set(id, wall.tiles.get(id) ?? new Tile(wall.template, id));
  wall.tiles = tiles;
  wall.root.replaceChildren(...[...tiles.values()].map((tile) => tile.root));
  wall.layoutKey = '';
  layOut();
}

// The wall's own count of updates and the sequence of the answer on show stay readable on
// #wall (data-updates, data-sequence), for whatever watches the wall from outside the page.
function countUpdate(now) {
  wall.updates += 1;
  wall.rateUpdates += 1;
  wall.root.dataset.updates = String(wall.updates);
  if (now - wall.rateStarted >= RATE_WINDOW_MS) {
    wall.rate = (wall.rateUpdates * 1000) / (now - wall.rateStarted);
    wall.rateStarted = now;
    wall.rateUpdates = 0;
  }
}

function showMonitors(answer) {
  const monitors = Array.isArray(answer?.monitors)
    ? answer.monitors.filter((monitor, index, all) => monitor !== null &&
      typeof monitor === 'object' && Number.isInteger(monitor.id) &&
      all.findIndex((other) => other?.id === monitor.id) === index)
    : [];
  const now = performance.now();
  ensureTiles(monitors);
  for (const monitor of monitors) wall.tiles.get(monitor.id).show(monitor, now);
  wall.root.dataset.sequence = String(answer?.sequence ?? '');
  countUpdate(now);
  setText(wall.status, monitors.length === 0 ? 'No loudness monitors'
    : `${monitors.length} monitor${monitors.length === 1 ? '' : 's'}, ` +
      `${wall.rate.toFixed(1)} updates/s`);
}

function showConnection(up) {
  if (wall.banner.hidden === up) return;
  wall.banner.hidden = up;
  setClass(wall.root, 'stale', !up);
  if (!up) setText(wall.status, 'Connection lost');
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function poll() {
  let retry = RETRY_FIRST_MS;
  for (;;) {
    const started = performance.now();
    let answer;
    try {
      const response = await fetch(MONITORS_PATH, {
        cache: 'no-store', redirect: 'manual', credentials: 'same-origin',
      });
      if (response.type === 'opaqueredirect' || response.status === HTTP_UNAUTHORIZED ||
          response.status === HTTP_FORBIDDEN) {
        location.assign(LOGIN_PATH);
        return;
      }
      if (!response.ok) throw new Error(`HTTP ${response.status}`);
      answer = await response.json();
    } catch (error) {
      showConnection(false);
      await sleep(retry);
      retry = Math.min(RETRY_MOST_MS, retry * 2);
      continue;
    }
    retry = RETRY_FIRST_MS;
    showConnection(true);
    showMonitors(answer);
    await sleep(Math.max(0, POLL_INTERVAL_MS - (performance.now() - started)));
  }
}

window.addEventListener('resize', layOut);
poll();
