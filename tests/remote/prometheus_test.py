#!/usr/bin/python3
"""The metrics as a plant reads them, end to end: qelm-engine with a loudness card fed a tone
of known loudness by `qelm-engine lmcard`, scraped by a real Prometheus server on loopback,
whose query API must give the card's momentary loudness back; promtool checks a real scrape.

    prometheus_test.py PATH/TO/qelm-engine
                        exit 77: no Prometheus here, or the engine serves no /metrics
"""
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
import urllib.error
import urllib.parse
import urllib.request
import wave

import page_test_support
from page_test_support import SKIP, fail

PROMETHEUS, PROMTOOL = '/usr/bin/prometheus', '/usr/bin/promtool'
WAIT_S = 60  # how long anything may take on a loaded machine before it counts as lost


def wait_for(what, condition):
    # Prometheus scrapes once a second and answers its queries after that: a longer wait, looked
    # at less often.
    return page_test_support.wait_for(what, condition, WAIT_S, 0.25)


# A 1 kHz sine at -23 dBFS in both channels of a stereo programme measures -23 LUFS.
TONE_DBFS, TONE_HZ, RATE, TONE_SECONDS = -23.0, 1000, 48000, 2  # looped by the card
EXPECTED_LUFS, TOLERANCE_LU = -23.0, 0.5
# The fake card's frame: the first loopback address of these whose frame port is free.
CARD_ADDRESSES = [f'127.0.93.{n}' for n in range(1, 40)]
FRAME_PORT, SLOT = 5253, 1
# The device names the session: configuration text with a letter beyond ASCII and the
# characters that delimit labels in the text format.
DEVICE = 'Tön {A}, b=1'
MOMENTARY = 'qelm_loudness_momentary_lufs'
SESSION_STATE = 'qelm_loudness_session_state'
RUNNING = 'running'
NOT_SERVED = (404, 503)
SERVING = re.compile(r'Remote panel serving (http://127\.0\.0\.1:(\d+))/')




def bindable(address, port):
    with socket.socket() as probe:
        try:
            probe.bind((address, port))
            return probe.getsockname()[1]
        except OSError:
            return None


def write_tone(path):
    amplitude = 10 ** (TONE_DBFS / 20) * 32767
    samples = (round(amplitude * math.sin(2 * math.pi * TONE_HZ * n / RATE))
               for n in range(RATE * TONE_SECONDS))
    with wave.open(path, 'wb') as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(b''.join(struct.pack('<hh', s, s) for s in samples))


def configuration(card):
    return f'''model "Loudness Meter"
  parameter 0x0D52 "Loudness Data" choice 0 Off "Off" choice 1 On "On" default 1
  parameter 0x0D54 "Source L" string 63
  parameter 0x0D55 "Source R" string 63
  monitor lm
device 1 "{DEVICE}"
  page 1 "Loudness" type lm
    item 9 "Loudness Data" from-model "Loudness Meter" {card} {SLOT}
'''


def get(url, method='GET'):
    """(status, body as text); no status when nothing answers."""
    try:
        with urllib.request.urlopen(urllib.request.Request(url, method=method),
                                    timeout=10) as answer:
            return answer.status, answer.read().decode('utf-8', 'replace')
    except urllib.error.HTTPError as error:
        return error.code, ''
    except OSError:
        return None, ''


def query(prometheus, expression):
    status, body = get(f'{prometheus}/api/v1/query?' +
                       urllib.parse.urlencode({'query': expression}))
    return json.loads(body)['data']['result'] if status == 200 else []


def check(program, folder):
    data = os.path.join(folder, 'data')
    os.makedirs(os.path.join(data, 'configuration'))
    card = next((a for a in CARD_ADDRESSES if bindable(a, FRAME_PORT)), None) or fail(
        'no loopback address with a free frame port')
    with open(os.path.join(data, 'configuration', 'startup.txt'), 'w') as out:
        out.write(configuration(card))
    tone = os.path.join(folder, 'tone.wav')
    write_tone(tone)

    children = {}

    def start(name, command):
        with open(os.path.join(folder, name + '.log'), 'w') as log:
            children[name] = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT)

    def said(name):
        with open(os.path.join(folder, name + '.log'), errors='replace') as log:
            return log.read()

    try:
        start('lmcard', [program, 'lmcard', '--address', card, '--slot', str(SLOT), '--file',
                         tone, '--loop'])
        start('engine', [program, 'run', '--data', data, '--report', data, '--http',
                         '127.0.0.1:0', '--seconds', '170'])
        url, port = wait_for('the engine\'s address',
                             lambda: SERVING.search(said('engine'))).groups()
        status = wait_for('an answer from /metrics', lambda: get(url + '/metrics')[0])
        if status in NOT_SERVED:
            print(f'/metrics answers {status}: the engine serves no metrics', file=sys.stderr)
            return SKIP
        if status != 200:
            fail(f'/metrics answered {status}')

        # The monitor shows up in the engine's own scrape, which promtool accepts as it is.
        text = wait_for('the loudness monitor in a scrape', lambda: (
            lambda got: got[1] if got[0] == 200 and SESSION_STATE + '{' in got[1] else None)(
                get(url + '/metrics')))
        checked = subprocess.run([PROMTOOL, 'check', 'metrics'], input=text,
                                 capture_output=True, text=True)
        if checked.returncode != 0 or checked.stdout.strip() or checked.stderr.strip():
            fail(f'promtool refused the scrape:\n{checked.stdout}{checked.stderr}\n{text}')
        monitor = re.search(rf'{SESSION_STATE}{{monitor="(\d+)"', text) or fail(
            'the monitor has no id label:\n' + text)
        started, _ = get(f'{url}/api/monitors/{monitor.group(1)}/start', method='POST')

        web = f'127.0.0.1:{bindable("127.0.0.1", 0)}'
        settings = os.path.join(folder, 'prometheus.yml')
        with open(settings, 'w') as out:
            out.write('global: {scrape_interval: 1s, evaluation_interval: 1s}\n'
                      'scrape_configs:\n'
                      '  - {job_name: qelm, static_configs: [{targets: ["127.0.0.1:%s"]}]}\n'
                      % port)
        start('prometheus', [PROMETHEUS, f'--config.file={settings}', f'--web.listen-address={web}',
                             f'--storage.tsdb.path={os.path.join(folder, "tsdb")}'])
        prometheus = f'http://{web}'

        def level():
            return next((s for s in query(prometheus, MOMENTARY)
                         if abs(float(s['value'][1]) - EXPECTED_LUFS) <= TOLERANCE_LU), None)

        try:
            series = wait_for(f'{MOMENTARY} near {EXPECTED_LUFS} LUFS in Prometheus', level)
        except AssertionError:
            targets = get(f'{prometheus}/api/v1/targets')[1]
            fail(f'Prometheus has {query(prometheus, MOMENTARY)}; its targets: {targets}')
        if series['metric'].get('name') != DEVICE or series['metric'].get('job') != 'qelm':
            fail(f'the series is not the monitor\'s: {series["metric"]}')

        # A session the API started is running, as the state set says.
        if started is not None and 200 <= started < 300:
            wait_for('the running session in Prometheus', lambda: query(
                prometheus, f'{SESSION_STATE}{{state="{RUNNING}"}} == 1'))
        return 0
    except AssertionError as error:
        logs = ''.join(f'\n--- {name}\n' + said(name)[-3000:] for name in children)
        raise AssertionError(f'{error}{logs}') from None
    finally:
        for child in children.values():
            if child.poll() is None:
                child.send_signal(signal.SIGINT)
            try:
                child.wait(WAIT_S)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    if not (os.access(PROMETHEUS, os.X_OK) and os.access(PROMTOOL, os.X_OK)):
        print('no Prometheus here', file=sys.stderr)
        return SKIP
    folder = tempfile.mkdtemp(prefix='qelm-prometheus-')
    try:
        return check(os.path.abspath(sys.argv[1]), folder)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
