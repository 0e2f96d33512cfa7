#!/usr/bin/python3
"""The loudness wall in headless Chromium against a real plant: `tools/plant` generates a
plant of 32 loudness cards, the engine serves the wall, the test reads it as a person would.

    wall_test.py PATH/TO/qelm-engine                 the test (exit 77: no Chromium, or the
                                                     engine has no monitors API)
    wall_test.py PATH/TO/qelm-engine --picture FILE  a 1920 x 1080 picture of the wall, every
                                                     session running
"""
import argparse
import importlib.machinery
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import time
import types
import urllib.error
import urllib.request

from page_test_support import SKIP, fail, need, wait_for

need('selenium')
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WALL_PATH = '/wall'
LOGIN_PATH = '/login'
VIEWER_PASSWORD = 'viewer password 7'
MONITORS_PATH = '/api/monitors'
HTTP_NOT_FOUND = 404
HTTP_UNAVAILABLE = 503
SCREEN = (1920, 1080)
LOUDNESS_CARDS = 32
LEAST_TEXT_PX = 14
# How far a running session's time may be behind in the answer a tile shows, against one fetched
# at the same moment: the wall asks ten times a second, and a busy machine delays an answer.
# (Levels are no measure of this: in a session's first seconds one block moves them by LUs.)
MOMENT_S = 1.0
# The bars' scale round the target, LU, as wall.js draws it.
SCALE_BELOW_LU = -15
SCALE_ABOVE_LU = 6
BAR_FIELDS = ('momentary', 'shortTerm')  # the tile's bars, top to bottom
NO_VALUE = '--'
STATE_LABELS = {'stopped': 'Stopped', 'running': 'Running', 'paused': 'Paused',
                'waiting': 'Waiting', 'busy': 'Busy'}
OVERLAY_LINK_DOWN = 'Link down'
OVERLAY_NO_DATA = 'No data'
# A monitor name that reads otherwise as markup: a page that wrote names as HTML would show
# "Late & News". (The engine takes angle brackets out of session names.)
MARKUP_NAME = 'Late &amp; News'
MARKUP_DEVICE = 2
LOST_DEVICE = 3  # its loudness card is stopped during the test
NET = 97  # the plant's frames on 127.97.x.y, its loudness cards on 127.98.x.y
WAIT_S = 30
PICTURE_AFTER_S = 45  # integrated, range and running time with something to show
PICTURE_STOPPED = (4, 20)  # monitors left stopped
PICTURE_GONE_DEVICE = 27  # its loudness card stops shortly before the picture
PICTURE_CARD_GONE_S = 8




def load_plant_tool():
    path = os.path.join(ROOT, 'tools', 'plant')
    loader = importlib.machinery.SourceFileLoader('plant_tool', path)
    module = types.ModuleType(loader.name)
    module.__file__ = path
    loader.exec_module(module)
    return module


def get_json(url):
    with urllib.request.urlopen(url, timeout=5) as answer:
        return json.load(answer)


def level_text(value):
    """What the wall shows for a level, for comparing: a number, or NO_VALUE."""
    return NO_VALUE if value is None else float(value)


def duration_text(seconds):
    whole = max(0, math.floor(seconds or 0))
    return f'{whole // 3600:02d}:{whole // 60 % 60:02d}:{whole % 60:02d}'


def open_browser(width, height):
    chromium = shutil.which('chromium') or shutil.which('chromium-browser')
    driver = shutil.which('chromedriver')
    if not chromium or not driver:
        return None
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ('--headless=new', '--no-sandbox', '--hide-scrollbars',
                     '--force-device-scale-factor=1', f'--window-size={width},{height}',
                     f'--user-data-dir={tempfile.mkdtemp(prefix="qelm-wall-")}'):
        options.add_argument(argument)
    browser = webdriver.Chrome(service=Service(driver), options=options)
    browser.set_window_size(width, height)
    inner = browser.execute_script('return [innerWidth, innerHeight]')
    browser.set_window_size(2 * width - inner[0], 2 * height - inner[1])
    return browser


# ---- Reading the page ----------------------------------------------------------------------

# Keeps every answer the page itself received from the monitors API, by sequence, so a reading
# of the tiles can be compared with exactly the answer they were drawn from.
RECORD_ANSWERS = """
if (!window.wallAnswers) {
  window.wallAnswers = new Map();
  const original = window.fetch;
  window.fetch = async (...args) => {
    const response = await original(...args);
    if (String(args[0]).endsWith('%s') && response.ok) {
      const body = await response.clone().json();
      window.wallAnswers.set(String(body.sequence), body);
      if (window.wallAnswers.size > 50) {
        window.wallAnswers.delete(window.wallAnswers.keys().next().value);
      }
    }
    return response;
  };
}
""" % MONITORS_PATH

READ_TILES = """
const wall = document.getElementById('wall');
const text = (tile, selector) => tile.querySelector(selector).textContent;
const tiles = [...wall.querySelectorAll('.tile')].map((tile) => ({
  id: Number(tile.dataset.monitorId),
  name: text(tile, '.name'), state: text(tile, '.state'),
  momentary: text(tile, '.momentary'), shortTerm: text(tile, '.short-term'),
  integrated: text(tile, '.integrated'), range: text(tile, '.range'),
  truePeak: text(tile, '.true-peak'), time: text(tile, '.time'),
  overlay: getComputedStyle(tile.querySelector('.overlay')).display === 'none' ? ''
    : text(tile, '.overlay'),
  truePeakOver: tile.querySelector('.true-peak').classList.contains('over-limit'),
  bars: [...tile.querySelectorAll('.fill')].map((fill) => ({
    fraction: new DOMMatrix(getComputedStyle(fill).transform).a,
    level: ['under', 'in', 'over'].find((name) => fill.classList.contains(name)) || null,
  })),
}));
const answer = window.wallAnswers ? window.wallAnswers.get(wall.dataset.sequence) : null;
return { tiles, answer: answer || null, updates: Number(wall.dataset.updates),
         banner: !document.getElementById('banner').hidden,
         status: document.getElementById('status').textContent };
"""

LAYOUT = """
const least = %d;
const tiles = [...document.querySelectorAll('.tile')];
const small = [];
const outside = [];
for (const tile of tiles) {
  const box = tile.getBoundingClientRect();
  if (box.left < 0 || box.top < 0 || box.right > innerWidth || box.bottom > innerHeight) {
    outside.push(tile.dataset.monitorId);
  }
  for (const part of tile.querySelectorAll('.name, .state, .value, .integrated, .range, ' +
                                          '.true-peak, .time, .errors, .label')) {
    const size = parseFloat(getComputedStyle(part).fontSize);
    if (size < least) small.push(`${tile.dataset.monitorId} ${part.className} ${size}px`);
    const partBox = part.getBoundingClientRect();
    if (partBox.width > 0 && (partBox.right > box.right + 1 || partBox.bottom > box.bottom + 1)) {
      outside.push(`${tile.dataset.monitorId} ${part.className}`);
    }
  }
}
const page = document.scrollingElement;
return { count: tiles.length, small, outside,
         scrolls: page.scrollHeight > innerHeight || page.scrollWidth > innerWidth };
""" % LEAST_TEXT_PX


def read_wall(browser):
    return browser.execute_script(READ_TILES)


def shown_matches(shown, value):
    """A level as shown against the API's number: one decimal, or no value."""
    wanted = level_text(value)
    if wanted == NO_VALUE or shown == NO_VALUE:
        return shown == wanted
    return abs(float(shown) - wanted) <= 0.05 + 1e-9


def compare_tile(tile, monitor):
    """The differences between one tile and the monitor it shows, as text."""
    problems = []
    for field in ('momentary', 'shortTerm', 'integrated', 'range', 'truePeak'):
        if not shown_matches(tile[field], monitor.get(field)):
            problems.append(f'{field} {tile[field]!r} for {monitor.get(field)!r}')
    wanted = {'name': monitor['name'], 'state': STATE_LABELS.get(monitor['state']),
              'time': duration_text(monitor['runningSeconds']),
              'overlay': OVERLAY_LINK_DOWN if not monitor['linkUp']
              else OVERLAY_NO_DATA if monitor['noData'] else ''}
    for field, value in wanted.items():
        if tile[field] != value:
            problems.append(f'{field} {tile[field]!r} for {value!r}')
    over = monitor['truePeak'] is not None and monitor['truePeak'] > monitor['truePeakLimit']
    if tile['truePeakOver'] != over:
        problems.append(f'true peak over its limit shown {tile["truePeakOver"]}')
    for field, bar in zip(BAR_FIELDS, tile['bars']):
        wanted = bar_of(monitor[field], monitor['target'], monitor['tolerance'])
        if abs(bar['fraction'] - wanted['fraction']) > 0.002 or bar['level'] != wanted['level']:
            problems.append(f'{field} bar {bar} for {wanted}')
    return problems


def bar_of(value, target, tolerance):
    """The length (0..1 of the scale) and colour of the bar of `value`."""
    if value is None:
        return {'fraction': 0, 'level': None}
    fraction = (value - target - SCALE_BELOW_LU) / (SCALE_ABOVE_LU - SCALE_BELOW_LU)
    level = ('over' if value > target + tolerance else
             'under' if value < target - tolerance else 'in')
    return {'fraction': min(1, max(0, fraction)), 'level': level}


def check_tiles_equal_answers(browser, url, readings=20):
    """Every tile equals the monitor of the answer it was drawn from, over several readings;
    and the tiles are those of the API's answer fetched at the same moment."""
    browser.execute_script(RECORD_ANSWERS)
    compared = 0
    end = time.monotonic() + WAIT_S
    while compared < readings and time.monotonic() < end:
        wall = read_wall(browser)
        fresh = get_json(url + MONITORS_PATH)
        if [tile['id'] for tile in wall['tiles']] != [m['id'] for m in fresh['monitors']]:
            fail('the tiles are not the API\'s monitors in its order')
        answer = wall['answer']
        if answer is None:
            time.sleep(0.03)
            continue
        for tile, monitor in zip(wall['tiles'], answer['monitors']):
            problems = compare_tile(tile, monitor)
            if problems:
                fail(f'tile {tile["id"]} ({monitor["name"]}): ' + '; '.join(problems))
            # The same moment: no tile lags the API by more than a moment.
            now = next(m for m in fresh['monitors'] if m['id'] == tile['id'])
            if (monitor['state'] == 'running' and now['state'] == 'running' and
                    now['runningSeconds'] - monitor['runningSeconds'] > MOMENT_S):
                fail(f'tile {tile["id"]}: a session time of {monitor["runningSeconds"]} s '
                     f'while the API says {now["runningSeconds"]} s')
        compared += 1
        time.sleep(0.07)
    if compared < readings:
        fail(f'only {compared} readings of the wall matched an answer it received')
    return wall


def check_layout(browser, count):
    layout = browser.execute_script(LAYOUT)
    if layout['count'] != count:
        fail(f'{layout["count"]} tiles for {count} monitors')
    if layout['scrolls']:
        fail('the wall scrolls')
    if layout['outside']:
        fail('outside the screen or their tile: ' + ', '.join(layout['outside'][:5]))
    if layout['small']:
        fail('text under 14 px: ' + ', '.join(layout['small'][:5]))


def update_rate(browser, seconds=3.0):
    first = read_wall(browser)['updates']
    time.sleep(seconds)
    return (read_wall(browser)['updates'] - first) / seconds


# ---- The plant -----------------------------------------------------------------------------

def make_plant(plant_tool, engine, folder, full):
    """The plant of `tools/plant generate` (`full`, for the picture), or a small one of 32
    loudness cards and a name that reads as markup; each loudness card in a frame of its own,
    so that one card can go away."""
    if full:
        plant_tool.generate(folder, frames=100, cards=16, parameters=20, loudness=LOUDNESS_CARDS,
                            devices=plant_tool.MOST_DEVICES, periodic_ms=2000, net=NET,
                            loudness_per_frame=1)
        return plant_tool.Plant(engine, folder, '127.0.0.1:0')
    plant_tool.generate(folder, frames=1, cards=4, parameters=4, loudness=LOUDNESS_CARDS,
                        devices=LOUDNESS_CARDS + 4, periodic_ms=2000, net=NET,
                        loudness_per_frame=1)
    startup = os.path.join(folder, 'panel', plant_tool.STARTUP)
    with open(startup) as f:
        text = f.read()
    name = plant_tool.loudness_name(MARKUP_DEVICE - 1)
    text = text.replace(f'device {MARKUP_DEVICE} "{name}"',
                        f'device {MARKUP_DEVICE} "{MARKUP_NAME}"')
    with open(startup, 'w') as f:
        f.write(text)
    return plant_tool.Plant(engine, folder, '127.0.0.1:0')


def post(url):
    request = urllib.request.Request(url, method='POST', data=b'')
    urllib.request.urlopen(request, timeout=5).close()


def check_wall(plant, browser):
    url = plant.url
    monitors = get_json(url + MONITORS_PATH)['monitors']
    if len(monitors) != LOUDNESS_CARDS:
        fail(f'the API has {len(monitors)} monitors, the plant {LOUDNESS_CARDS}')
    # Half the sessions run, so both states are on the wall.
    for monitor in monitors[::2]:
        post(f'{url}{MONITORS_PATH}/{monitor["id"]}/start')
    browser.get(url + WALL_PATH)
    wait_for('a tile per monitor', lambda: len(read_wall(browser)['tiles']) == LOUDNESS_CARDS)
    wait_for('levels on the tiles', lambda: all(
        tile['momentary'] != NO_VALUE for tile in read_wall(browser)['tiles']))

    # Names are text, never markup.
    named = [tile['name'] for tile in read_wall(browser)['tiles']]
    if MARKUP_NAME not in named:
        fail(f'the name {MARKUP_NAME!r} was taken for markup: {named[MARKUP_DEVICE - 1]!r}')

    check_tiles_equal_answers(browser, url)
    check_layout(browser, LOUDNESS_CARDS)
    rate = update_rate(browser)
    print(f'wall: {rate:.1f} updates a second')
    if rate <= 0:
        fail('the wall does not update')

    # A card that stops: its tile greys out and says why, as the API does.
    plant.stop_one(f'lmcard-{LOST_DEVICE}')

    def lost_monitors():
        return [m['id'] for m in get_json(url + MONITORS_PATH)['monitors']
                if not m['linkUp'] or m['noData']]

    lost = wait_for('the lost card in the API', lambda: lost_monitors())
    if len(lost) != 1:
        fail(f'one card stopped, monitors {lost} without data')
    wait_for('the lost card on its tile', lambda: any(
        tile['id'] == lost[0] and tile['overlay'] in (OVERLAY_LINK_DOWN, OVERLAY_NO_DATA)
        for tile in read_wall(browser)['tiles']))
    check_tiles_equal_answers(browser, url, readings=5)

    # The engine goes away: the wall says so. It comes back on the same address with a viewer's
    # password: the wall sends the browser to log in, and a viewer's session reads it again.
    def protect():
        wait_for('the connection lost banner', lambda: read_wall(browser)['banner'])
        engine = plant.commands['panel'][0]
        subprocess.run([engine, 'passwd', '--data', os.path.join(plant.folder, 'panel'),
                        '--viewer'], input=VIEWER_PASSWORD + '\n', text=True, check=True,
                       capture_output=True, timeout=WAIT_S)

    plant.restart_panel(after=protect)
    wait_for('the login page', lambda: browser.current_url == url + LOGIN_PATH)
    browser.find_element(By.ID, 'password').send_keys(VIEWER_PASSWORD + Keys.ENTER)
    wait_for('the login', lambda: browser.current_url.rstrip('/') == url)
    browser.get(url + WALL_PATH)
    wait_for('a viewer\'s wall', lambda: len(read_wall(browser)['tiles']) == LOUDNESS_CARDS and
             not read_wall(browser)['banner'])


def take_picture(plant, browser, path):
    """All sessions running but two, and one card gone shortly before the picture."""
    url = plant.url
    for monitor in get_json(url + MONITORS_PATH)['monitors']:
        if monitor['id'] not in PICTURE_STOPPED:
            post(f'{url}{MONITORS_PATH}/{monitor["id"]}/start')
    browser.get(url + WALL_PATH)
    wait_for('a tile per monitor', lambda: len(read_wall(browser)['tiles']) == LOUDNESS_CARDS)
    time.sleep(PICTURE_AFTER_S - PICTURE_CARD_GONE_S)
    plant.stop_one(f'lmcard-{PICTURE_GONE_DEVICE}')
    time.sleep(PICTURE_CARD_GONE_S)
    browser.save_screenshot(path)


# ---- Main ----------------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('engine')
    parser.add_argument('--picture')
    args = parser.parse_args()
    engine = os.path.abspath(args.engine)
    picture = os.path.abspath(args.picture) if args.picture else None
    plant_tool = load_plant_tool()
    folder = tempfile.mkdtemp(prefix='qelm-wall-plant-')
    plant = browser = None
    try:
        plant = make_plant(plant_tool, engine, folder, full=picture is not None)
        if not wait_for_api(plant.url):
            print('SKIP: the engine has no monitors API')
            return SKIP
        browser = open_browser(*SCREEN)
        if browser is None:
            print('SKIP: chromium and chromedriver are needed to run the page in a browser')
            return SKIP
        if picture:
            take_picture(plant, browser, picture)
        else:
            check_wall(plant, browser)
    except AssertionError as error:
        print(f'FAILED: {error}')
        return 1
    finally:
        if browser:
            browser.quit()
        if plant:
            plant.stop()
        shutil.rmtree(folder, ignore_errors=True)
    print('wall: all checks passed' if not picture else f'wall: picture in {picture}')
    return 0


def wait_for_api(url):
    """Whether the engine has the monitors API: 404 says not, 503 only in its first seconds."""
    end = time.monotonic() + 5
    while True:
        try:
            get_json(url + MONITORS_PATH)
            return True
        except urllib.error.HTTPError as error:
            if error.code not in (HTTP_NOT_FOUND, HTTP_UNAVAILABLE):
                fail(f'{MONITORS_PATH}: HTTP {error.code}')
            if error.code == HTTP_NOT_FOUND or time.monotonic() > end:
                return False
        time.sleep(0.2)


if __name__ == '__main__':
    sys.exit(main())
