#!/usr/bin/python3
"""The panel in a browser, end to end: qelm-engine serving the page to headless Chromium, a
fake frame on loopback recording what the panel sets.

    browser_test.py PATH/TO/qelm-engine             the test (exit 77: no Chromium to run)
    browser_test.py PATH/TO/qelm-engine --pictures DIR
                                                     the README's pictures of the default
                                                     configuration, at laptop and tablet sizes
"""
import base64
import json
import math
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib

from page_test_support import SKIP, WAIT_S, fail, need, wait_for

need('selenium')
from selenium import webdriver
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.actions import interaction
from selenium.webdriver.common.actions.action_builder import ActionBuilder
from selenium.webdriver.common.actions.pointer_input import PointerInput
from selenium.webdriver.common.actions.wheel_input import ScrollOrigin
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

# ---- The frame protocol, as much as a fake frame needs -------------------------------------
FRAME_ADDRESS = '127.0.92.1'
FRAME_PORT = 5253
MESSAGE_MAGIC = 0xBAD2ACE5
COMMAND_GET = 0x49
COMMAND_SET = 0x4A
COMMAND_GET_RESPONSE = 0xC9
COMMAND_SET_RESPONSE = 0xCA
COMMAND_NOTIFICATION = 0x10
PANEL_ADDRESS = 0
BROADCAST_ADDRESS = 2
HEARTBEAT_S = 1  # the panel takes a frame silent for 5 s for gone
FIRST_CARD_ADDRESS = 16
MESSAGE_HEAD = struct.Struct('>IBBBH')  # magic, source, destination, command, length
SLOT = 1

# ---- The panel -----------------------------------------------------------------------------
RASTER_WIDTH, RASTER_HEIGHT, SCREEN_WIDTH = 960, 272, 480
KEY_DIGIT_0 = 1  # digit d is key KEY_DIGIT_0 + d
KEY_CANCEL = 15
KEY_ENTER = 16
MESSAGE_TOUCH = 'touch'
MESSAGE_PUSH = 'push'
PUSH_AFTER_MS = 300  # the page's wait before a still press is a push
HOLD_MS = 1000
# The page item each knob works on an eight-item page.
KNOB_ITEMS = (1, 3, 2, 4, 5, 7, 6, 8)
FIRST_OID = 0x0101  # item n shows the parameter FIRST_OID + n - 1
START_VALUES = {FIRST_OID + n: 10 * (n + 1) for n in range(8)}
CONFIGURATION = 'model Levels\n' + ''.join(
    f'  parameter 0x{FIRST_OID + n:04X} "Level {n + 1}" int -1000 1000 1\n' for n in range(8)
) + 'device 1 "Test Device"\n  page 1 "Levels"\n' + ''.join(
    f'    item {n + 1} "Level {n + 1}" from-model Levels {FRAME_ADDRESS} {SLOT}\n'
    for n in range(8))
OPERATOR_PASSWORD = 'operator password 1'
VIEWER_PASSWORD = 'viewer password 2'




class FakeFrame:
    """Takes the panel's connections, answers its gets from a table of values, records its
    sets as (oid, value), and tells the first value every second, as a card's periodic values
    keep a link alive."""

    def __init__(self):
        self.values = dict(START_VALUES)
        self.sets = []
        self.asked = set()  # the OIDs the panel has read
        self.lock = threading.Lock()
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((FRAME_ADDRESS, FRAME_PORT))
        self.listener.listen()
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                peer, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.serve, args=(peer,), daemon=True).start()

    def serve(self, peer):
        sending = threading.Lock()
        stop = threading.Event()

        def heartbeat():
            while not stop.wait(HEARTBEAT_S):
                with self.lock:
                    value = self.values[FIRST_OID]
                try:
                    with sending:
                        peer.sendall(self.message(COMMAND_NOTIFICATION, BROADCAST_ADDRESS,
                                                  FIRST_OID, value))
                except OSError:
                    return

        threading.Thread(target=heartbeat, daemon=True).start()
        try:
            self.receive(peer, sending)
        finally:
            stop.set()
            peer.close()

    def receive(self, peer, sending):
        pending = b''
        while True:
            try:
                got = peer.recv(4096)
            except OSError:
                return
            if not got:
                return
            pending += got
            while True:
                start = pending.find(struct.pack('>I', MESSAGE_MAGIC))
                if start < 0 or len(pending) - start < MESSAGE_HEAD.size:
                    break
                _, _, destination, command, length = MESSAGE_HEAD.unpack_from(pending, start)
                end = start + MESSAGE_HEAD.size + length
                if len(pending) < end:
                    break
                body = pending[start + MESSAGE_HEAD.size:end]
                pending = pending[end:]
                answer = self.answer(destination, command, body)
                if answer:
                    with sending:
                        peer.sendall(answer)

    def answer(self, destination, command, body):
        if len(body) < 3 or destination != FIRST_CARD_ADDRESS + SLOT:
            return None
        oid = struct.unpack_from('>H', body, 1)[0]
        with self.lock:
            if oid not in self.values:
                return None
            if command == COMMAND_SET and len(body) == 6 and body[3] == 2:
                self.values[oid] = struct.unpack_from('>h', body, 4)[0]
                self.sets.append((oid, self.values[oid]))
                reply = COMMAND_SET_RESPONSE
            elif command == COMMAND_GET:
                self.asked.add(oid)
                reply = COMMAND_GET_RESPONSE
            else:
                return None
            value = self.values[oid]
        return self.message(reply, PANEL_ADDRESS, oid, value)

    @staticmethod
    def message(command, destination, oid, value):
        payload = struct.pack('>BHBh', 0, oid, 2, value)
        return MESSAGE_HEAD.pack(MESSAGE_MAGIC, FIRST_CARD_ADDRESS + SLOT, destination, command,
                                 len(payload)) + payload

    def sets_since(self, count):
        with self.lock:
            return self.sets[count:]

    def close(self):
        self.listener.close()


def read_png(data):
    """The pixels of an 8-bit RGB or RGBA PNG as (width, height, RGB bytes)."""
    assert data[:8] == b'\x89PNG\r\n\x1a\n', 'not a PNG'
    at, chunks, header = 8, [], None
    while at < len(data):
        length, kind = struct.unpack_from('>I4s', data, at)
        content = data[at + 8:at + 8 + length]
        at += 12 + length
        if kind == b'IHDR':
            header = struct.unpack('>IIBBBBB', content)
        elif kind == b'IDAT':
            chunks.append(content)
    width, height, depth, colour, _, _, interlace = header
    assert depth == 8 and colour in (2, 6) and interlace == 0, f'unread PNG kind {header}'
    channels = 3 if colour == 2 else 4
    raw = zlib.decompress(b''.join(chunks))
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        row = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = row[i - channels] if i >= channels else 0
            up = previous[i]
            corner = previous[i - channels] if i >= channels else 0
            if kind == 1:
                row[i] = (row[i] + left) & 255
            elif kind == 2:
                row[i] = (row[i] + up) & 255
            elif kind == 3:
                row[i] = (row[i] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                row[i] = (row[i] + (left if pa <= pb and pa <= pc else up if pb <= pc
                                    else corner)) & 255
        rows.append(bytes(row))
        previous = row
    rgb = b''.join(rows) if channels == 3 else b''.join(
        bytes(r[i] for i in range(len(r)) if i % 4 != 3) for r in rows)
    return width, height, rgb


def write_png(path, width, height, rgb):
    rows = b''.join(b'\0' + rgb[y * width * 3:(y + 1) * width * 3] for y in range(height))
    chunk = lambda kind, content: (struct.pack('>I', len(content)) + kind + content +
                                   struct.pack('>I', zlib.crc32(kind + content)))
    with open(path, 'wb') as out:
        out.write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height,
                                                                    8, 2, 0, 0, 0)) +
                  chunk(b'IDAT', zlib.compress(rows, 9)) + chunk(b'IEND', b''))


class Engine:
    """qelm-engine run with the remote panel on a free loopback port."""

    def __init__(self, program, data, screenshot=None, seconds=120):
        self.screenshot = screenshot
        command = [program, 'run', '--data', data, '--report', data, '--http', '127.0.0.1:0',
                   '--seconds', str(seconds)]
        if screenshot:
            command += ['--screenshot', screenshot]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        text=True)
        self.log = []
        found = threading.Event()
        self.url = None

        def read():
            for line in self.process.stdout:
                self.log.append(line)
                serving = re.search(r'Remote panel serving (http://127\.0\.0\.1:\d+)/', line)
                if serving and not self.url:
                    self.url = serving.group(1)
                    found.set()
            found.set()

        threading.Thread(target=read, daemon=True).start()
        found.wait(WAIT_S)
        if not self.url:
            self.stop()
            fail('the engine named no address:\n' + ''.join(self.log))

    def stop(self):
        """Interrupts the run (which writes the screenshot, if asked) and waits for its end."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        try:
            self.process.wait(WAIT_S)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def set_password(program, data, password, viewer=False):
    command = [program, 'passwd', '--data', data] + (['--viewer'] if viewer else [])
    done = subprocess.run(command, input=password + '\n', capture_output=True, text=True,
                          timeout=WAIT_S)
    if done.returncode != 0:
        fail(f'{" ".join(command)} failed: {done.stdout}{done.stderr}')


def open_browser(chromium, driver, width, height):
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ('--headless=new', '--no-sandbox', '--hide-scrollbars',
                     '--force-device-scale-factor=1', f'--window-size={width},{height}',
                     f'--user-data-dir={tempfile.mkdtemp(prefix="qelm-browser-")}'):
        options.add_argument(argument)
    options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    browser = webdriver.Chrome(service=Service(driver), options=options)
    set_viewport(browser, width, height)
    return browser


def set_viewport(browser, width, height):
    """Sizes the window so that the page itself gets `width` x `height`."""
    browser.set_window_size(width, height)
    inner = browser.execute_script('return [innerWidth, innerHeight]')
    browser.set_window_size(2 * width - inner[0], 2 * height - inner[1])


def log_in(browser, url, password):
    """Logs in; a login refused for the failed-login wait (429) is tried again."""
    def attempt():
        browser.get(url + '/login')
        field = browser.find_element(By.ID, 'password')
        field.send_keys(password)
        browser.execute_script('window.qelmOldPage = true')
        field.submit()
        wait_for('the answer to the login', lambda: browser.execute_script(
            'return !window.qelmOldPage && document.readyState === "complete"'))
        current = browser.current_url
        if current.rstrip('/') == url or 'failed=1' in current:
            return current
        time.sleep(1)  # 429: the wait after a failed login is not over
        return None
    return wait_for('a login that is not throttled', attempt, 90)


# Both screens as the page holds them: RGB bytes of the raster. The scripts run in the page
# and use its names for the protocol's numbers.
READ_CANVASES = '''
  const out = new Uint8Array(RASTER_WIDTH * RASTER_HEIGHT * BYTES_PER_PIXEL);
  for (let s = 0; s < SCREEN_COUNT; ++s) {
    const data = panel.contexts[s].getImageData(0, 0, SCREEN_WIDTH, RASTER_HEIGHT).data;
    for (let y = 0; y < RASTER_HEIGHT; ++y) for (let x = 0; x < SCREEN_WIDTH; ++x) {
      const i = (y * SCREEN_WIDTH + x) * 4;
      const o = (y * RASTER_WIDTH + s * SCREEN_WIDTH + x) * BYTES_PER_PIXEL;
      out[o] = data[i]; out[o + 1] = data[i + 1]; out[o + 2] = data[i + 2];
    }
  }
  let text = '';
  for (let i = 0; i < out.length; i += 0x8000) {
    text += String.fromCharCode(...out.subarray(i, i + 0x8000));
  }
  return btoa(text);'''


# Updates whose rectangles leave the raster or whose pixels do not match their size: each must
# be refused before anything is drawn.
UPDATES_REFUSED = '''
  const done = arguments[arguments.length - 1];
  const update = (x, y, w, h, pixels, extra = 0) => {
    const z = pixels === null ? new Uint8Array(4) : pixels;
    const at = UPDATE_HEADER_BYTES;
    const bytes = new Uint8Array(at + RECTANGLE_HEADER_BYTES + z.length);
    const view = new DataView(bytes.buffer);
    bytes[0] = UPDATE_KIND_SCREENS;
    view.setUint16(UPDATE_COUNT_AT, 1, true);
    [x, y, w, h].forEach((v, i) => view.setUint16(at + 2 * i, v, true));
    view.setUint32(at + 8, z.length + extra, true);
    bytes.set(z, at + RECTANGLE_HEADER_BYTES);
    return bytes;
  };
  const deflated = async (size) => new Uint8Array(await new Response(
    new Blob([new Uint8Array(size)]).stream().pipeThrough(new CompressionStream('deflate')))
    .arrayBuffer());
  (async () => {
    const cases = [
      update(950, 0, 11, 1, await deflated(33)),    // past the right edge
      update(0, 270, 1, 3, await deflated(9)),      // past the bottom
      update(0, 0, 2, 2, await deflated(13)),       // more pixels than the rectangle
      update(0, 0, 2, 2, await deflated(11)),       // fewer
      update(0, 0, 1, 1, null, 1 << 20),            // a length past the end
    ];
    const results = [];
    for (const bytes of cases) {
      try {
        const update = parseUpdate(bytes.buffer);
        await Promise.all(update.rectangles.map(
          (r) => inflate(r.compressed, r.w * r.h * BYTES_PER_PIXEL)));
        results.push('taken');
      } catch (error) {
        results.push(error instanceof ProtocolError ? 'refused' : String(error));
      }
    }
    done(results);
  })();'''


def canvases(browser):
    return base64.b64decode(browser.execute_script(READ_CANVASES))


def updates(browser):
    return int(browser.execute_script('return Number(document.body.dataset.updates || 0)'))


def settled(browser):
    """The canvases once they have stayed the same for a second."""
    last = [None]

    def same():
        now = canvases(browser)
        if now == last[0]:
            return now
        last[0] = now
        time.sleep(1)
        return None
    return wait_for('the screens to settle', same, 60)


def differing(a, b):
    count = sum(1 for i in range(0, len(a), 3) if a[i:i + 3] != b[i:i + 3])
    return f'{count} of {len(a) // 3} pixels differ'


def element_centre(browser, element):
    return browser.execute_script(
        'const b = arguments[0].getBoundingClientRect();'
        'return [b.left + b.width / 2, b.top + b.height / 2, b.width / 2];', element)


def drag_round(browser, element, degrees, finger=False):
    """Presses `element` at twelve o'clock and drags the mouse (or with `finger`, one finger on
    a touch screen) round it, well outside it as a hand would, `degrees` clockwise (negative:
    anticlockwise) in steps of 5 degrees. The first move is long, so the press turns at once
    rather than pushing, however slow the machine."""
    x, y, radius = element_centre(browser, element)
    if finger:
        actions = ActionBuilder(browser, duration=10,
                                mouse=PointerInput(interaction.POINTER_TOUCH, 'finger'))
        pointer = actions.pointer_action
    else:
        actions = ActionChains(browser, duration=10)
        pointer = actions.w3c_actions.pointer_action
    pointer.move_to_location(round(x), round(y - 0.8 * radius))
    pointer.pointer_down()
    sign = 1 if degrees >= 0 else -1
    for angle in range(0, abs(degrees) + 1, 5):
        a = math.radians(sign * angle)
        reach = 2 if finger else 3  # a finger stays nearer, and on the screen
        pointer.move_to_location(round(x + reach * radius * math.sin(a)),
                                 round(y - reach * radius * math.cos(a)))
    pointer.pointer_up()
    actions.perform()


def knob(browser, index):
    return browser.find_elements(By.CSS_SELECTOR, '.knob')[index]


def key(browser, code):
    return browser.find_element(By.CSS_SELECTOR, f'.key[data-code="{code}"]')


def oid_of_knob(index):
    return FIRST_OID + KNOB_ITEMS[index] - 1


def expect_sets(frame, since, expected, what):
    """Waits until the frame has had the sets `expected` (oid, value) since `since`."""
    wait_for(what, lambda: frame.sets_since(since)[-len(expected):] == expected)
    got = frame.sets_since(since)
    if got != expected:
        fail(f'{what}: the frame was set {got}, not {expected}')


def expect_value(frame, since, oid, value, what):
    """Waits until the frame's `oid` holds `value`, set only through `oid` since `since`."""
    try:
        wait_for(what, lambda: frame.values[oid] == value)
    except AssertionError:
        fail(f'{what}: wanted 0x{oid:04X} set to {value}; the frame was set '
             f'{frame.sets_since(since)}')
    if any(o != oid for o, _ in frame.sets_since(since)):
        fail(f'{what}: more than 0x{oid:04X} was set: {frame.sets_since(since)}')


def raw_websocket_status(url, cookie, origin):
    """The status code a WebSocket handshake gets from the server."""
    host = url.split('//', 1)[1]
    address, port = host.rsplit(':', 1)
    request = ('GET /ws HTTP/1.1\r\n'
               f'Host: {host}\r\n'
               'Upgrade: websocket\r\nConnection: Upgrade\r\n'
               f'Sec-WebSocket-Key: {base64.b64encode(os.urandom(16)).decode()}\r\n'
               'Sec-WebSocket-Version: 13\r\n'
               f'Origin: {origin}\r\n'
               f'Cookie: qelm_session={cookie}\r\n\r\n')
    with socket.create_connection((address, int(port)), timeout=WAIT_S) as peer:
        peer.sendall(request.encode())
        answer = b''
        while b'\r\n' not in answer:
            got = peer.recv(1024)
            if not got:
                break
            answer += got
    return int(answer.split(b' ', 2)[1])


def check_panel(program, chromium, driver, folder):
    data = os.path.join(folder, 'data')
    os.makedirs(os.path.join(data, 'configuration'))
    with open(os.path.join(data, 'configuration', 'startup.txt'), 'w') as out:
        out.write(CONFIGURATION)
    set_password(program, data, OPERATOR_PASSWORD)
    set_password(program, data, VIEWER_PASSWORD, viewer=True)
    frame = FakeFrame()
    shot = os.path.join(folder, 'screens.png')
    engine = Engine(program, data, screenshot=shot)
    browsers = []
    try:
        operator = open_browser(chromium, driver, 1366, 768)
        browsers.append(operator)
        url = engine.url
        operator.get(url + '/')
        wait_for('the way to the login', lambda: '/login' in operator.current_url)

        # A wrong password is refused, and said so; the right one opens the panel.
        if 'failed=1' not in log_in(operator, url, 'not the password'):
            fail('a wrong password was not refused')
        notices = operator.find_elements(By.CSS_SELECTOR, '.failed')
        if not notices or notices[0].text != 'Wrong password' or not notices[0].is_displayed():
            fail('the login page does not say "Wrong password"')
        if log_in(operator, url, OPERATOR_PASSWORD).rstrip('/') != url:
            fail('the operator password did not open the panel')
        wait_for('the first update', lambda: updates(operator) >= 1)
        # The knobs turn only values the panel has read.
        wait_for('the panel to read its values', lambda: frame.asked == set(START_VALUES))

        # The page draws nothing the server sends that does not fit the raster.
        refusals = operator.execute_async_script(UPDATES_REFUSED)
        if refusals != ['refused'] * len(refusals) or len(refusals) != 5:
            fail(f'the page took updates that do not fit the raster: {refusals}')

        # A WebSocket from another page is refused, the same session from the panel's own is not.
        cookie = operator.get_cookie('qelm_session')['value']
        if raw_websocket_status(url, cookie, 'http://evil.example') != 403:
            fail('a WebSocket from another origin was not refused')
        if raw_websocket_status(url, cookie, url) != 101:
            fail('a WebSocket from the panel\'s own origin was refused')

        # The second browser, a viewer, sees the panel but cannot work it.
        viewer = open_browser(chromium, driver, 1280, 800)
        browsers.append(viewer)
        log_in(viewer, url, VIEWER_PASSWORD)
        wait_for('the viewer\'s first update', lambda: updates(viewer) >= 1)
        if not all(button.get_attribute('disabled') for button in
                   viewer.find_elements(By.CSS_SELECTOR, '.key')):
            fail('a viewer\'s keys are not disabled')

        # The wheel: two notches towards the user turn knob 2 two steps clockwise.
        before = len(frame.sets)
        oid = oid_of_knob(2)
        for _ in range(2):
            ActionChains(operator).scroll_from_origin(
                ScrollOrigin.from_element(knob(operator, 2)), 0, 100).perform()
        expect_value(frame, before, oid, START_VALUES[oid] + 2, 'two notches on knob 2')

        # A drag a quarter turn anticlockwise round knob 5: six steps down.
        before = len(frame.sets)
        oid = oid_of_knob(5)
        drag_round(operator, knob(operator, 5), -95)
        expect_value(frame, before, oid, START_VALUES[oid] - 6, 'a quarter turn back on knob 5')
        # The same with one finger on a touch screen, clockwise round knob 4.
        before = len(frame.sets)
        oid = oid_of_knob(4)
        drag_round(operator, knob(operator, 4), 95, finger=True)
        expect_value(frame, before, oid, START_VALUES[oid] + 6, 'a finger\'s quarter turn on knob 4')

        # A viewer's wheel, drag and key do nothing, nor does what its own socket says; the
        # operator's next turn is then the only set.
        viewer_before = canvases(viewer)
        before = len(frame.sets)
        ActionChains(viewer).scroll_from_origin(
            ScrollOrigin.from_element(knob(viewer, 0)), 0, 100).perform()
        drag_round(viewer, knob(viewer, 0), 95)
        viewer.execute_script('arguments[0].click()', key(viewer, KEY_DIGIT_0 + 7))
        spoke = viewer.execute_async_script('''
          const done = arguments[arguments.length - 1];
          const socket = new WebSocket(`ws://${location.host}${SOCKET_PATH}`);
          socket.onmessage = () => {
            socket.send(JSON.stringify({t: ClientMessage.TURN, knob: 0, steps: 5}));
            socket.send(JSON.stringify({t: ClientMessage.PUSH, knob: 0, down: true}));
            socket.send(JSON.stringify({t: ClientMessage.PUSH, knob: 0, down: false}));
            socket.send(JSON.stringify({t: ClientMessage.KEY, code: arguments[0]}));
            setTimeout(() => { socket.close(); done(true); }, 200);
          };
          socket.onerror = () => done(false);''', KEY_ENTER)
        if not spoke:
            fail('the viewer\'s own socket was not opened')
        oid = oid_of_knob(0)
        ActionChains(operator).scroll_from_origin(
            ScrollOrigin.from_element(knob(operator, 0)), 0, -100).perform()
        expect_sets(frame, before, [(oid, START_VALUES[oid] - 1)], 'the operator\'s turn')

        # Keys: a push opens knob 1's item for entry; digits by click and by keyboard, then
        # Enter, set it.
        before = len(frame.sets)
        oid = oid_of_knob(1)
        knob(operator, 1).click()
        key(operator, KEY_DIGIT_0 + 4).click()
        ActionChains(operator).send_keys('2').perform()
        key(operator, KEY_ENTER).click()
        expect_sets(frame, before, [(oid, 42)], 'the typed value')
        # Again with the keyboard only: minus, digits, Enter.
        before = len(frame.sets)
        knob(operator, 1).click()
        ActionChains(operator).send_keys('-17').send_keys(Keys.ENTER).perform()
        expect_sets(frame, before, [(oid, -17)], 'the value typed on the keyboard')

        # A click on a screen touches it at the pixel under the pointer (a touch on this page
        # changes nothing, so what the page says is all there is to see).
        operator.execute_script(
            'window.qelmSent = [];'
            'const send = WebSocket.prototype.send;'
            'WebSocket.prototype.send = function (m) {'
            '  window.qelmSent.push(m);'
            '  send.call(this, m);'
            '};')
        screen = operator.find_element(By.ID, 'screen1')
        ActionChains(operator).move_to_element_with_offset(screen, 100 - 240, 50 - 136).click() \
            .perform()
        sent_touches = lambda: [m for m in operator.execute_script('return window.qelmSent')
                                if json.loads(m)['t'] == MESSAGE_TOUCH]
        touches = wait_for('the touch', lambda: len(sent_touches()) >= 2 and sent_touches())
        if [json.loads(t) for t in touches] != [
                {'t': MESSAGE_TOUCH, 'screen': 1, 'x': 100, 'y': 50, 'down': down}
                for down in (True, False)]:
            fail(f'a click on the right screen at 100, 50 sent {touches}')

        # A press held still is a push once the page is sure it is no drag; the push says how
        # long it was already held, so the engine's hold still ends a second after the press.
        ActionChains(operator).click_and_hold(knob(operator, 2)).pause(0.6).release().perform()
        sent_pushes = lambda: [json.loads(m) for m in operator.execute_script(
            'return window.qelmSent') if json.loads(m)['t'] == MESSAGE_PUSH]
        pushes = wait_for('the push', lambda: len(sent_pushes()) >= 2 and sent_pushes())
        if [(p['knob'], p['down']) for p in pushes] != [(2, True), (2, False)] or \
                not PUSH_AFTER_MS <= pushes[0].get('held', 0) <= HOLD_MS:
            fail(f'a press held still on knob 3 sent {pushes}')
        key(operator, KEY_CANCEL).click()

        # The viewer saw the operator's changes; both show the engine's raster, pixel for
        # pixel, and the operator's window shows it unsmoothed at one and two device pixels.
        wait_for('the viewer to see the change', lambda: canvases(viewer) != viewer_before)
        shown = settled(operator)
        if settled(viewer) != shown:
            fail('the two browsers show different screens: ' +
                 differing(canvases(viewer), shown))
        in_window = window_pixels(operator, 1)
        set_viewport(operator, 2200, 800)
        doubled = window_pixels(operator, 2)
        # Log out by the button; then a page whose session ends elsewhere goes to the login
        # once its socket is refused.
        viewer.find_element(By.CSS_SELECTOR, '#logout button').click()
        wait_for('the viewer at the login', lambda: '/login' in viewer.current_url)
        log_in(viewer, url, VIEWER_PASSWORD)
        wait_for('the viewer back', lambda: updates(viewer) >= 1)
        viewer.execute_async_script(
            'const done = arguments[arguments.length - 1];'
            'fetch("/logout", {method: "POST"})'
            '  .then(() => { connection.socket?.close(); done(); });')
        wait_for('the viewer sent to the login', lambda: '/login' in viewer.current_url)

        # The engine goes away: the page says so, and keeps trying.
        engine.stop()
        banner = operator.find_element(By.ID, 'banner')
        wait_for('the banner', lambda: banner.is_displayed())
        if banner.text != 'Connection lost: reconnecting...':
            fail(f'the banner says "{banner.text}"')
        # Nothing the page did broke the content security policy or threw.
        for browser in browsers:
            for entry in browser.get_log('browser'):
                if 'Content Security Policy' in entry['message'] or \
                        'Uncaught' in entry['message']:
                    fail(f'the browser reported: {entry["message"]}')
        width, height, raster = read_png(open(shot, 'rb').read())
        if (width, height) != (RASTER_WIDTH, RASTER_HEIGHT) or shown != raster:
            fail('the page\'s screens are not the engine\'s: ' + differing(shown, raster))
        for scale, pixels in ((1, in_window), (2, doubled)):
            if pixels != raster:
                fail(f'the window at {scale} device pixels per pixel does not show the raster: '
                     + differing(pixels, raster))
    except AssertionError as error:
        said = ''.join(line for line in engine.log if 'Remote panel' in line)
        raise AssertionError(f'{error}\nThe engine said, of the remote panel:\n{said}') from None
    finally:
        for browser in browsers:
            browser.quit()
        engine.stop()
        frame.close()
    print('The panel in a browser: all checks passed')


def window_pixels(browser, scale):
    """The screens as the window shows them, read back to the raster's size: each pixel must
    be `scale` x `scale` equal window pixels, else the pixel reads as black and grey."""
    wait_for('the screens at the new size', lambda: browser.execute_script(
        'return document.getElementById("screen0").getBoundingClientRect().width') ==
        SCREEN_WIDTH * scale)
    width, height, shot = read_png(browser.get_screenshot_as_png())
    out = bytearray()
    places = [browser.execute_script(
        f'const b = document.getElementById("screen{s}").getBoundingClientRect();'
        'return [b.left, b.top];') for s in range(2)]
    for y in range(RASTER_HEIGHT):
        for x in range(RASTER_WIDTH):
            left, top = places[x // SCREEN_WIDTH]
            wx, wy = round(left) + (x % SCREEN_WIDTH) * scale, round(top) + y * scale
            block = {shot[((wy + j) * width + wx + i) * 3:((wy + j) * width + wx + i) * 3 + 3]
                     for j in range(scale) for i in range(scale)}
            out += block.pop() if len(block) == 1 else b'\x00\x80\x80'
    return bytes(out)


def take_pictures(program, chromium, driver, folder, docs):
    """The default configuration (its simulated cards show live values) at a laptop's and a
    tablet's size; the tablet in landscape and portrait side by side."""
    data = os.path.join(folder, 'data')
    os.makedirs(data)
    engine = Engine(program, data, seconds=600)
    browser = open_browser(chromium, driver, 1366, 768)
    try:
        browser.get(engine.url + '/')
        wait_for('the first update', lambda: updates(browser) >= 1)
        if browser.find_element(By.ID, 'logout').is_displayed():
            fail('a Log out button without passwords')
        settled(browser)
        browser.save_screenshot(os.path.join(docs, 'remote-laptop.png'))
        pictures = []
        for width, height in ((1280, 800), (800, 1280)):
            set_viewport(browser, width, height)
            time.sleep(1)
            pictures.append(read_png(browser.get_screenshot_as_png()))
        gap = 40
        (w1, h1, p1), (w2, h2, p2) = pictures
        width, height = w1 + gap + w2, max(h1, h2)
        background = b'\xff\xff\xff'
        rows = []
        for y in range(height):
            left = p1[y * w1 * 3:(y + 1) * w1 * 3] if y < h1 else background * w1
            right = p2[y * w2 * 3:(y + 1) * w2 * 3] if y < h2 else background * w2
            rows.append(left + background * gap + right)
        write_png(os.path.join(docs, 'remote-tablet.png'), width, height, b''.join(rows))
    finally:
        browser.quit()
        engine.stop()


def main():
    if len(sys.argv) not in (2, 4) or (len(sys.argv) == 4 and sys.argv[2] != '--pictures'):
        print(__doc__)
        return 64
    program = os.path.abspath(sys.argv[1])
    chromium = shutil.which('chromium') or shutil.which('chromium-browser')
    driver = shutil.which('chromedriver')
    if not chromium or not driver:
        print('SKIP: chromium and chromedriver are needed to run the page in a browser')
        return SKIP
    folder = tempfile.mkdtemp(prefix='qelm-remote-')
    try:
        if len(sys.argv) == 4:
            take_pictures(program, chromium, driver, folder, os.path.abspath(sys.argv[3]))
        else:
            check_panel(program, chromium, driver, folder)
    except AssertionError as error:
        print(f'FAILED: {error}')
        return 1
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return 0


if __name__ == '__main__':
    sys.exit(main())
