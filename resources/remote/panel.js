// The panel in a browser: draws the engine's screens and lamps as the server sends them, and
// sends the operator's keys, knob turns and pushes, and screen touches back. The messages are
// those of docs/remote-protocol.md.
//
// In this order: the protocol's numbers and names; the layout (fitting the desktop's
// arrangement into the window, screens at whole device pixels); the controls (keys, knobs,
// screens, keyboard); reading and drawing updates; the connection.
'use strict';

// ---- The protocol ---------------------------------------------------------------------------

const RASTER_WIDTH = 960;
const RASTER_HEIGHT = 272;
const SCREEN_WIDTH = 480;
const SCREEN_COUNT = 2;
const KEY_COUNT = 16;
const FIRST_KEY_CODE = 1;
const KNOB_COUNT = 8;

const UPDATE_KIND_SCREENS = 1;
const UPDATE_HEADER_BYTES = 20;  // kind, flags, 16 lamp states, rectangle count
const UPDATE_LAMPS_AT = 2;
const UPDATE_COUNT_AT = 18;
const RECTANGLE_HEADER_BYTES = 12;  // x, y, width, height, compressed length
const BYTES_PER_PIXEL = 3;

const LampState = Object.freeze({ OFF: 0, LIT: 2, BRIGHT: 3 });
const Role = Object.freeze({ OPERATOR: 'operator', VIEWER: 'viewer' });
const ServerMessage = Object.freeze({ HELLO: 'hello' });
const ClientMessage = Object.freeze({
  READY: 'ready', KEY: 'key', TURN: 'turn', PUSH: 'push', TOUCH: 'touch',
});
const MOST_STEPS_PER_TURN = 16;

const SOCKET_PATH = '/ws';
const LAYOUT_PATH = '/layout.json';
const LOGIN_PATH = '/login';

// ---- How the controls behave ----------------------------------------------------------------

const DEGREES_PER_STEP = 15;       // a drag round a knob: one step per 15 degrees
const PUSH_AFTER_MS = 300;         // a press held still this long pushes the knob
const HOLD_MS = 1000;  // the engine's hold time from the push: the knob then shows its ring
const DRAG_START_PX = 6;           // a press that moves further turns instead of pushing
const DEAD_CENTRE_PX = 4;          // the angle is not read this close to the knob's centre
const TURN_FLUSH_MS = 40;          // turns are gathered and sent at most this often
const WHEEL_NOTCH = Object.freeze([100, 3, 1]);  // one notch in pixels, lines, pages

const RECONNECT_FIRST_MS = 500;
const RECONNECT_MOST_MS = 10000;

// ---- Layout ---------------------------------------------------------------------------------
// Sizes of the desktop at 100 % (in its pixels), beyond what layout.json gives: margins round
// the panel, the gap between a screen and its knobs, and between the keypad and the rest.
const MARGIN = 8;
const GAP = 3;
const KEYPAD_GAP = 12;
// The controls may grow with the screens up to this much (portrait has room below).
const MOST_CONTROL_SCALE = { landscape: 1.25, portrait: 1.6 };
// Smaller than this, keys and knobs are too small to work: the screens shrink first.
const LEAST_CONTROL_SCALE = 0.6;
const BASE_FONT_PX = 12;

const panel = {
  layout: null,        // layout.json, checked
  keypad: null,        // the keys' bounding box in layout.json
  knobSize: 0,
  screens: [],         // canvas elements
  contexts: [],        // their 2D contexts
  keys: new Map(),     // code -> button
  knobs: [],           // { element, pointer, steps, wheelRest, drag }
  keyboard: new Map(), // KeyboardEvent.key -> key code
  role: null,          // null until the hello
};

function isInteger(value, lowest, highest) {
  return Number.isInteger(value) && value >= lowest && value <= highest;
}

// layout.json is ours, but is read as carefully as anything that comes over the network.
function checkedLayout(layout) {
  const place = (p) => p && isInteger(p.x, 0, 10000) && isInteger(p.y, 0, 10000);
  const sized = (p) => place(p) && isInteger(p.w, 1, 1000) && isInteger(p.h, 1, 1000);
  if (!layout || !Array.isArray(layout.knobs) || layout.knobs.length !== KNOB_COUNT ||
      !layout.knobs.every(sized) || !Array.isArray(layout.keys) ||
      layout.keys.length !== KEY_COUNT) {
    throw new Error('layout.json does not describe the panel');
  }
  const codes = new Set();
  for (const key of layout.keys) {
    if (!sized(key) || !isInteger(key.code, FIRST_KEY_CODE, KEY_COUNT) || codes.has(key.code) ||
        typeof key.label !== 'string' || !Array.isArray(key.keyboard) ||
        !key.keyboard.every((k) => typeof k === 'string')) {
      throw new Error('layout.json has a bad key');
    }
    codes.add(key.code);
  }
  return layout;
}

function boundingBox(places) {
  const left = Math.min(...places.map((p) => p.x));
  const top = Math.min(...places.map((p) => p.y));
  const right = Math.max(...places.map((p) => p.x + p.w));
  const bottom = Math.max(...places.map((p) => p.y + p.h));
  return { x: left, y: top, w: right - left, h: bottom - top };
}

// The panel's size for screens at scale `s` and controls at scale `u`, in CSS pixels.
function panelSize(portrait, s, u) {
  const keypad = panel.keypad;
  const knob = panel.knobSize;
  if (portrait) {
    const row = SCREEN_WIDTH * s + u * (2 * MARGIN + 2 * knob + 2 * GAP);
    return {
      w: Math.max(row, u * (keypad.w + 2 * MARGIN)),
      h: 2 * RASTER_HEIGHT * s + u * (2 * MARGIN + 2 * KEYPAD_GAP + keypad.h),
    };
  }
  return {
    w: RASTER_WIDTH * s + u * (2 * MARGIN + keypad.w + KEYPAD_GAP + 4 * knob + 5 * GAP),
    h: Math.max(RASTER_HEIGHT * s, keypad.h * u) + 2 * MARGIN * u,
  };
}

// The largest screens at a whole number of device pixels per pixel that leave the controls
// room enough; the controls then take what is left, up to their largest.
function chooseScales(width, height, portrait, ratio) {
  const most = portrait ? MOST_CONTROL_SCALE.portrait : MOST_CONTROL_SCALE.landscape;
  const screensWide = portrait ? SCREEN_WIDTH : RASTER_WIDTH;
  const fits = (s, u) => {
    const size = panelSize(portrait, s, u);
    return size.w <= width && size.h <= height;
  };
  for (let n = Math.floor((ratio * width) / screensWide); n >= 1; --n) {
    const s = n / ratio;
    let u = most * s;
    while (u >= LEAST_CONTROL_SCALE && !fits(s, u)) u *= 0.97;
    if (u >= LEAST_CONTROL_SCALE) return { s, u };
  }
  // A very small window: everything shrinks together, the screens still unsmoothed.
  let s = Math.max(width, 1) / screensWide;
  while (s > 0.05 && !fits(s, LEAST_CONTROL_SCALE * s)) s *= 0.97;
  return { s, u: LEAST_CONTROL_SCALE * s };
}

function layOut() {
  if (!panel.layout) return;
  const ratio = window.devicePixelRatio || 1;
  const bar = document.getElementById('bar').offsetHeight;
  const width = document.documentElement.clientWidth;
  const height = window.innerHeight - bar;
  const portrait = height > width;
  const { s, u } = chooseScales(width, height, portrait, ratio);
  // Places fall on whole device pixels, so the screens' pixels do too.
  const px = (v) => Math.round(v * ratio) / ratio;
  const put = (element, x, y, w, h) => {
    element.style.left = `${px(x)}px`;
    element.style.top = `${px(y)}px`;
    element.style.width = `${px(w)}px`;
    element.style.height = `${px(h)}px`;
  };
  const size = panelSize(portrait, s, u);
  const root = document.getElementById('panel');
  root.style.width = `${px(size.w)}px`;
  root.style.height = `${px(size.h)}px`;
  root.style.left = `${px(Math.max(0, (width - size.w) / 2))}px`;
  root.style.top = `${px(Math.max(0, (height - size.h) / 2))}px`;
  root.style.fontSize = `${BASE_FONT_PX * u}px`;

  const screenW = SCREEN_WIDTH * s;
  const screenH = RASTER_HEIGHT * s;
  const knob = panel.knobSize * u;
  // Knobs beside a screen: one level with its top, one with its bottom.
  const knobColumn = (first, x, top) => {
    put(panel.knobs[first].element, x, top, knob, knob);
    put(panel.knobs[first + 1].element, x, top + screenH - knob, knob, knob);
  };
  const keypadAt = (x, y) => {
    for (const key of panel.layout.keys) {
      put(panel.keys.get(key.code), x + (key.x - panel.keypad.x) * u,
        y + (key.y - panel.keypad.y) * u, key.w * u, key.h * u);
    }
  };
  if (portrait) {
    const rowWidth = screenW + 2 * knob + 2 * GAP * u;
    const left = (size.w - rowWidth) / 2;
    for (let screen = 0; screen < SCREEN_COUNT; ++screen) {
      const top = MARGIN * u + screen * (screenH + KEYPAD_GAP * u);
      knobColumn(4 * screen, left, top);
      put(panel.screens[screen], left + knob + GAP * u, top, screenW, screenH);
      knobColumn(4 * screen + 2, left + knob + 2 * GAP * u + screenW, top);
    }
    keypadAt((size.w - panel.keypad.w * u) / 2, MARGIN * u + 2 * screenH + 2 * KEYPAD_GAP * u);
    return;
  }
  const inner = size.h - 2 * MARGIN * u;
  const top = MARGIN * u + (inner - screenH) / 2;
  let x = MARGIN * u;
  keypadAt(x, MARGIN * u + (inner - panel.keypad.h * u) / 2);
  x += (panel.keypad.w + KEYPAD_GAP) * u;
  for (let screen = 0; screen < SCREEN_COUNT; ++screen) {
    knobColumn(4 * screen, x, top);
    x += knob + GAP * u;
    put(panel.screens[screen], x, top, screenW, screenH);
    x += screenW + GAP * u;
    knobColumn(4 * screen + 2, x, top);
    x += knob + GAP * u;
  }
}

// ---- Sending --------------------------------------------------------------------------------

const connection = {
  socket: null,
  greeted: false,         // the hello of this socket has come
  backoff: RECONNECT_FIRST_MS,
  pendingTurns: new Array(KNOB_COUNT).fill(0),
  turnTimer: null,
  drawing: Promise.resolve(),
};

function operating() {
  return panel.role === Role.OPERATOR && connection.socket !== null &&
    connection.socket.readyState === WebSocket.OPEN;
}

function send(message) {
  if (connection.socket && connection.socket.readyState === WebSocket.OPEN) {
    connection.socket.send(JSON.stringify(message));
  }
}

// Operator input: turns waiting to be sent go first, so everything arrives in order.
function sendInput(message) {
  if (!operating()) return;
  flushTurns();
  send(message);
}

function flushTurns() {
  if (connection.turnTimer !== null) {
    clearTimeout(connection.turnTimer);
    connection.turnTimer = null;
  }
  for (let knob = 0; knob < KNOB_COUNT; ++knob) {
    let steps = connection.pendingTurns[knob];
    connection.pendingTurns[knob] = 0;
    while (steps !== 0 && operating()) {
      const now = Math.max(-MOST_STEPS_PER_TURN, Math.min(MOST_STEPS_PER_TURN, steps));
      send({ t: ClientMessage.TURN, knob, steps: now });
      steps -= now;
    }
  }
}

function queueTurn(knob, steps) {
  if (!operating() || steps === 0) return;
  const state = panel.knobs[knob];
  state.steps += steps;
  state.pointer.style.transform = `rotate(${(state.steps * DEGREES_PER_STEP) % 360}deg)`;
  connection.pendingTurns[knob] += steps;
  if (connection.turnTimer === null) {
    connection.turnTimer = setTimeout(flushTurns, TURN_FLUSH_MS);
  }
}

// ---- Keys -----------------------------------------------------------------------------------

function buildKeys(root) {
  for (const key of panel.layout.keys) {
    const button = document.createElement('button');
    button.type = 'button';
    button.className = 'key';
    button.tabIndex = -1;
    button.textContent = key.label;
    button.dataset.code = String(key.code);
    button.dataset.lamp = String(LampState.OFF);
    button.title = key.keyboard.length > 0
      ? `${key.label.replace('\n', ' ')} (keyboard: ${key.keyboard.join(' or ')})`
      : key.label.replace('\n', ' ');
    // The keyboard focus stays with the page, so Enter is never taken for a click.
    button.addEventListener('mousedown', (event) => event.preventDefault());
    button.addEventListener('click', () => sendInput({ t: ClientMessage.KEY, code: key.code }));
    root.appendChild(button);
    panel.keys.set(key.code, button);
    for (const name of key.keyboard) panel.keyboard.set(name, key.code);
  }
}

function showLamps(lamps) {
  for (let i = 0; i < KEY_COUNT; ++i) {
    const state = lamps[i];
    const shown = state === LampState.LIT || state === LampState.BRIGHT ? state : LampState.OFF;
    const button = panel.keys.get(FIRST_KEY_CODE + i);
    if (button.dataset.lamp !== String(shown)) button.dataset.lamp = String(shown);
  }
}

// The desktop's shortcuts: a key counts when it goes up; held down, each repeat counts too.
const heldKeys = new Map();  // KeyboardEvent.code (or .key without one) -> panel key code

function panelKeyFor(event) {
  if (panel.keyboard.has(event.key)) return panel.keyboard.get(event.key);
  // The numeric pad's decimal key gives a comma on many keyboards.
  if (event.code === 'NumpadDecimal') return panel.keyboard.get('.');
  return undefined;
}

function watchKeyboard() {
  window.addEventListener('keydown', (event) => {
    if (event.ctrlKey || event.altKey || event.metaKey) return;
    const code = panelKeyFor(event);
    if (code === undefined) return;
    event.preventDefault();
    if (event.repeat) {
      sendInput({ t: ClientMessage.KEY, code });
      return;
    }
    heldKeys.set(event.code || event.key, code);
  });
  window.addEventListener('keyup', (event) => {
    const which = event.code || event.key;
    if (!heldKeys.has(which)) return;
    event.preventDefault();
    const code = heldKeys.get(which);
    heldKeys.delete(which);
    sendInput({ t: ClientMessage.KEY, code });
  });
  // A key let go while another window has the focus is never seen here.
  window.addEventListener('blur', () => heldKeys.clear());
}

// ---- Knobs ----------------------------------------------------------------------------------

function angleAt(centre, event) {
  return (Math.atan2(event.clientY - centre.y, event.clientX - centre.x) * 180) / Math.PI;
}

// The difference of two angles, between -180 and 180 degrees.
function angleBetween(from, to) {
  let delta = to - from;
  while (delta > 180) delta -= 360;
  while (delta <= -180) delta += 360;
  return delta;
}

function buildKnob(root, index) {
  const element = document.createElement('div');
  element.className = 'knob';
  element.title = `Knob ${index + 1}: wheel or drag round it to turn, click to push, ` +
    'hold to reset';
  for (const part of ['skirt', 'cap', 'pointer']) {
    const child = document.createElement('div');
    child.className = part;
    element.appendChild(child);
  }
  root.appendChild(element);
  const state = {
    element, pointer: element.querySelector('.pointer'), steps: 0, wheelRest: 0, drag: null,
  };
  panel.knobs.push(state);

  // `held`: how long a push was already held still before it was sent, so the engine's hold
  // still ends a second after the press, as on the desktop.
  const push = (down, held = 0) => {
    sendInput(held > 0 ? { t: ClientMessage.PUSH, knob: index, down, held }
      : { t: ClientMessage.PUSH, knob: index, down });
    element.classList.toggle('pushed', down);
    if (!down) element.classList.remove('held');
  };
  const endDrag = (tapped) => {
    const drag = state.drag;
    if (drag === null) return;
    clearTimeout(drag.pushTimer);
    clearTimeout(drag.holdTimer);
    state.drag = null;
    element.classList.remove('turning');
    if (drag.pushed) {
      push(false);
    } else if (tapped && !drag.turning) {
      push(true);
      push(false);
    }
  };

  element.addEventListener('pointerdown', (event) => {
    if (event.button !== 0 || !operating() || state.drag !== null) return;
    event.preventDefault();
    element.setPointerCapture(event.pointerId);
    const box = element.getBoundingClientRect();
    const centre = { x: box.left + box.width / 2, y: box.top + box.height / 2 };
    const drag = {
      pointerId: event.pointerId, centre, startX: event.clientX, startY: event.clientY,
      angle: angleAt(centre, event), rest: 0, turning: false, pushed: false,
      pushTimer: null, holdTimer: null,
    };
    // Held still, the press is a push; the engine tells a hold from its length, counted from
    // the press.
    const pressed = performance.now();
    drag.pushTimer = setTimeout(() => {
      drag.pushed = true;
      const held = Math.min(HOLD_MS, Math.round(performance.now() - pressed));
      push(true, held);
      drag.holdTimer = setTimeout(() => element.classList.add('held'), HOLD_MS - held);
    }, PUSH_AFTER_MS);
    state.drag = drag;
  });
  element.addEventListener('pointermove', (event) => {
    const drag = state.drag;
    if (drag === null || event.pointerId !== drag.pointerId || drag.pushed) return;
    if (!drag.turning &&
        Math.hypot(event.clientX - drag.startX, event.clientY - drag.startY) > DRAG_START_PX) {
      drag.turning = true;
      clearTimeout(drag.pushTimer);
      element.classList.add('turning');
    }
    if (Math.hypot(event.clientX - drag.centre.x, event.clientY - drag.centre.y) <
        DEAD_CENTRE_PX) {
      return;
    }
    // With y downwards, a growing angle is clockwise: positive steps.
    const angle = angleAt(drag.centre, event);
    drag.rest += angleBetween(drag.angle, angle);
    drag.angle = angle;
    if (!drag.turning) return;
    const steps = Math.trunc(drag.rest / DEGREES_PER_STEP);
    if (steps !== 0) {
      drag.rest -= steps * DEGREES_PER_STEP;
      queueTurn(index, steps);
    }
  });
  element.addEventListener('pointerup', (event) => {
    if (state.drag !== null && event.pointerId === state.drag.pointerId) endDrag(true);
  });
  element.addEventListener('pointercancel', (event) => {
    if (state.drag !== null && event.pointerId === state.drag.pointerId) endDrag(false);
  });
  element.addEventListener('lostpointercapture', () => endDrag(false));

  // One step per notch, towards the user clockwise as on the desktop; small deltas, as touchpads
  // send them, add up, and a change of direction starts afresh.
  element.addEventListener('wheel', (event) => {
    event.preventDefault();
    if (!operating()) return;
    const notch = WHEEL_NOTCH[event.deltaMode] || WHEEL_NOTCH[0];
    const delta = event.deltaY;
    if (delta === 0) return;
    if (Math.abs(delta) >= notch / 2) {
      state.wheelRest = 0;
      queueTurn(index, Math.sign(delta) * Math.max(1, Math.round(Math.abs(delta) / notch)));
      return;
    }
    if (Math.sign(delta) !== Math.sign(state.wheelRest)) state.wheelRest = 0;
    state.wheelRest += delta;
    const steps = Math.trunc(state.wheelRest / notch);
    if (steps !== 0) {
      state.wheelRest -= steps * notch;
      queueTurn(index, steps);
    }
  }, { passive: false });
}

// ---- Screens --------------------------------------------------------------------------------

function buildScreens() {
  for (let screen = 0; screen < SCREEN_COUNT; ++screen) {
    const canvas = document.getElementById(`screen${screen}`);
    const context = canvas.getContext('2d', { alpha: false });
    context.imageSmoothingEnabled = false;
    panel.screens.push(canvas);
    panel.contexts.push(context);
    let touch = null;  // the pointer touching, and where it touched
    const pixelAt = (event) => {
      const box = canvas.getBoundingClientRect();
      const x = Math.floor(((event.clientX - box.left) / box.width) * SCREEN_WIDTH);
      const y = Math.floor(((event.clientY - box.top) / box.height) * RASTER_HEIGHT);
      return {
        x: Math.min(SCREEN_WIDTH - 1, Math.max(0, x)),
        y: Math.min(RASTER_HEIGHT - 1, Math.max(0, y)),
      };
    };
    canvas.addEventListener('pointerdown', (event) => {
      if (event.button !== 0 || !operating() || touch !== null) return;
      event.preventDefault();
      canvas.setPointerCapture(event.pointerId);
      const at = pixelAt(event);
      touch = { pointerId: event.pointerId };
      sendInput({ t: ClientMessage.TOUCH, screen, x: at.x, y: at.y, down: true });
    });
    const lift = (event) => {
      if (touch === null || event.pointerId !== touch.pointerId) return;
      touch = null;
      const at = pixelAt(event);
      sendInput({ t: ClientMessage.TOUCH, screen, x: at.x, y: at.y, down: false });
    };
    canvas.addEventListener('pointerup', lift);
    canvas.addEventListener('pointercancel', lift);
  }
}

// ---- Updates --------------------------------------------------------------------------------

class ProtocolError extends Error {}

// Reads one binary update; everything is checked before anything is drawn.
function parseUpdate(buffer) {
  const view = new DataView(buffer);
  if (buffer.byteLength < UPDATE_HEADER_BYTES) throw new ProtocolError('update too short');
  if (view.getUint8(0) !== UPDATE_KIND_SCREENS) throw new ProtocolError('unknown update kind');
  const lamps = new Uint8Array(buffer.slice(UPDATE_LAMPS_AT, UPDATE_LAMPS_AT + KEY_COUNT));
  const count = view.getUint16(UPDATE_COUNT_AT, true);
  const rectangles = [];
  let at = UPDATE_HEADER_BYTES;
  for (let i = 0; i < count; ++i) {
    if (buffer.byteLength - at < RECTANGLE_HEADER_BYTES) {
      throw new ProtocolError('rectangle header cut short');
    }
    const x = view.getUint16(at, true);
    const y = view.getUint16(at + 2, true);
    const w = view.getUint16(at + 4, true);
    const h = view.getUint16(at + 6, true);
    const length = view.getUint32(at + 8, true);
    at += RECTANGLE_HEADER_BYTES;
    if (w === 0 || h === 0 || x + w > RASTER_WIDTH || y + h > RASTER_HEIGHT) {
      throw new ProtocolError(`rectangle ${x},${y} ${w}x${h} outside the raster`);
    }
    if (length > buffer.byteLength - at) throw new ProtocolError('pixels cut short');
    rectangles.push({ x, y, w, h, compressed: new Uint8Array(buffer, at, length) });
    at += length;
  }
  if (at !== buffer.byteLength) throw new ProtocolError('bytes after the last rectangle');
  return { lamps, rectangles };
}

// Inflates a zlib stream that must give exactly `size` bytes; a longer one is cut off unread.
async function inflate(compressed, size) {
  const stream = new Blob([compressed]).stream()
    .pipeThrough(new DecompressionStream('deflate'));
  const reader = stream.getReader();
  const out = new Uint8Array(size);
  let filled = 0;
  try {
    for (;;) {
      const { done, value } = await reader.read();
      if (done) break;
      if (value.length > size - filled) throw new ProtocolError('too many pixels');
      out.set(value, filled);
      filled += value.length;
    }
  } catch (error) {
    reader.cancel().catch(() => {});
    throw error instanceof ProtocolError ? error : new ProtocolError(`bad pixels: ${error}`);
  }
  if (filled !== size) throw new ProtocolError('too few pixels');
  return out;
}

function toImage(rectangle, rgb) {
  const image = new ImageData(rectangle.w, rectangle.h);
  const rgba = image.data;
  for (let i = 0, j = 0; i < rgb.length; i += BYTES_PER_PIXEL, j += 4) {
    rgba[j] = rgb[i];
    rgba[j + 1] = rgb[i + 1];
    rgba[j + 2] = rgb[i + 2];
    rgba[j + 3] = 255;
  }
  return image;
}

// The raster is both screens side by side: each canvas takes its half, and putImageData leaves
// out what falls beyond a canvas.
function drawRectangle(rectangle, image) {
  for (let screen = 0; screen < SCREEN_COUNT; ++screen) {
    const left = screen * SCREEN_WIDTH;
    if (rectangle.x < left + SCREEN_WIDTH && rectangle.x + rectangle.w > left) {
      panel.contexts[screen].putImageData(image, rectangle.x - left, rectangle.y);
    }
  }
}

// An update is drawn whole or not at all; then the server may send the next.
// What is still queued from a socket that has since closed is left undrawn.
async function showUpdate(socket, buffer) {
  if (socket !== connection.socket) return;
  const update = parseUpdate(buffer);
  const pixels = await Promise.all(update.rectangles.map(
    (r) => inflate(r.compressed, r.w * r.h * BYTES_PER_PIXEL)));
  if (socket !== connection.socket) return;
  update.rectangles.forEach((r, i) => drawRectangle(r, toImage(r, pixels[i])));
  showLamps(update.lamps);
  const drawn = Number(document.body.dataset.updates || 0) + 1;
  document.body.dataset.updates = String(drawn);
  if (socket.readyState === WebSocket.OPEN) {
    socket.send(JSON.stringify({ t: ClientMessage.READY }));
  }
}

// ---- Connection -----------------------------------------------------------------------------

function setStatus(text) {
  document.getElementById('status').textContent = text;
}

function showBanner(shown) {
  document.getElementById('banner').hidden = !shown;
}

function setRole(role) {
  panel.role = role;
  const viewer = role !== Role.OPERATOR;
  document.body.classList.toggle('viewer', viewer);
  for (const button of panel.keys.values()) button.disabled = viewer;
  for (const knob of panel.knobs) knob.element.setAttribute('aria-disabled', String(viewer));
}

function readHello(text) {
  let hello;
  try {
    hello = JSON.parse(text);
  } catch (error) {
    throw new ProtocolError('hello is not JSON');
  }
  if (!hello || hello.type !== ServerMessage.HELLO ||
      (hello.role !== Role.OPERATOR && hello.role !== Role.VIEWER)) {
    throw new ProtocolError('bad hello');
  }
  if (hello.width !== RASTER_WIDTH || hello.height !== RASTER_HEIGHT) {
    throw new ProtocolError(`a raster of ${hello.width}x${hello.height} is not this panel's`);
  }
  return hello;
}

function dropConnection(socket, why) {
  console.warn(`Remote panel: ${why}; connecting again`);
  if (socket === connection.socket) socket.close();
}

// Whether the server still knows this browser: without a session it sends us to log in.
async function sessionAlive() {
  try {
    const answer = await fetch(LAYOUT_PATH, { redirect: 'manual', cache: 'no-store' });
    return !(answer.type === 'opaqueredirect' || answer.status === 401 || answer.status === 403);
  } catch (error) {
    return true;  // the server is away: keep trying
  }
}

function connect() {
  const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
  const socket = new WebSocket(`${scheme}//${location.host}${SOCKET_PATH}`);
  socket.binaryType = 'arraybuffer';
  connection.socket = socket;
  connection.greeted = false;
  connection.drawing = Promise.resolve();

  socket.addEventListener('message', (event) => {
    if (socket !== connection.socket) return;
    if (!connection.greeted) {
      try {
        if (typeof event.data !== 'string') throw new ProtocolError('no hello first');
        const hello = readHello(event.data);
        setRole(hello.role);
        // Without a login there is nothing to log out of.
        document.getElementById('logout').hidden = hello.login === false;
      } catch (error) {
        dropConnection(socket, error.message);
        return;
      }
      connection.greeted = true;
      connection.backoff = RECONNECT_FIRST_MS;
      showBanner(false);
      setStatus(panel.role === Role.OPERATOR ? 'Connected' : 'Connected as a viewer: ' +
        'the keys and knobs are disabled');
      return;
    }
    if (!(event.data instanceof ArrayBuffer)) return;  // nothing else is said yet
    const buffer = event.data;
    connection.drawing = connection.drawing
      .then(() => showUpdate(socket, buffer))
      .catch((error) => dropConnection(socket, error.message));
  });
  socket.addEventListener('close', () => {
    if (socket !== connection.socket) return;
    connection.socket = null;
    const wasGreeted = connection.greeted;
    for (const knob of panel.knobs) knob.element.classList.remove('pushed', 'held', 'turning');
    connection.pendingTurns.fill(0);
    // Nothing can be worked until the next hello says how.
    setRole(null);
    showBanner(true);
    setStatus('Disconnected');
    const delay = connection.backoff;
    connection.backoff = Math.min(RECONNECT_MOST_MS, connection.backoff * 2);
    setTimeout(async () => {
      // A socket refused before its hello may mean the session is over.
      if (!wasGreeted && !(await sessionAlive())) {
        location.assign(LOGIN_PATH);
        return;
      }
      connect();
    }, delay);
  });
}

async function start() {
  let layout;
  try {
    const answer = await fetch(LAYOUT_PATH, { redirect: 'manual', cache: 'no-store' });
    if (answer.type === 'opaqueredirect' || answer.status === 401 || answer.status === 403) {
      location.assign(LOGIN_PATH);
      return;
    }
    layout = checkedLayout(await answer.json());
  } catch (error) {
    setStatus(`The panel's layout could not be read: ${error.message}`);
    return;
  }
  panel.layout = layout;
  panel.keypad = boundingBox(layout.keys);
  panel.knobSize = Math.min(...layout.knobs.map((k) => Math.min(k.w, k.h)));
  const root = document.getElementById('panel');
  buildScreens();
  buildKeys(root);
  for (let knob = 0; knob < KNOB_COUNT; ++knob) buildKnob(root, knob);
  setRole(null);
  watchKeyboard();
  layOut();
  window.addEventListener('resize', layOut);
  connect();
}

start();
