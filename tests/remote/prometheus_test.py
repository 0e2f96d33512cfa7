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
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
import wave

SKIP = 77
PROMETHEUS = shutil.which('prometheus') or '/usr/bin/prometheus'
PROMTOOL = shutil.which('promtool') or '/usr/bin/promtool'
WAIT_S = 60  # how long anything may take on a loaded machine before it counts as lost

# A 1 kHz sine at -23 dBFS in both channels of a stereo programme measures -23 LUFS.
TONE_DBFS = -23.0
TONE_HZ = 1000
RATE = 48000
TONE_SECONDS = 2  # looped by the card
EXPECTED_LUFS = -23.0
TOLERANCE_LU = 0.5
# The fake card's frame: a loopback address of its own on the frame port, first free one.
CARD_ADDRESSES = [f'127.0.93.{n}' for n in range(1, 40)]
FRAME_PORT = 5253
SLOT = 1
# The device names the session: configuration text with a letter beyond ASCII and the
# characters that delimit labels in the text format.
DEVICE = 'Tön {A}, b=1'
MOMENTARY = 'qelm_loudness_momentary_lufs'
SESSION_STATE = 'qelm_loudness_session_state'
RUNNING = 'running'
NOT_SERVED = (404, 503)


def fail(message):
    raise AssertionError(message)


def wait_for(what, condition, seconds=WAIT_S):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        result = condition()
        if result:
            return result
        time.sleep(0.25)
    fail(f'timed out waiting for {what}')


def free_port():
    with socket.socket() as probe:
        probe.bind(('127.0.0.1', 0))
        return probe.getsockname()[1]


def free_card_address():
    for address in CARD_ADDRESSES:
        with socket.socket() as probe:
            try:
                probe.bind((address, FRAME_PORT))
                return address
            except OSError:
                continue
    fail('no loopback address with a free frame port')


def write_tone(path):
    amplitude = 10 ** (TONE_DBFS / 20) * 32767
    frames = bytearray()
    for n in range(RATE * TONE_SECONDS):
        value = round(amplitude * math.sin(2 * math.pi * TONE_HZ * n / RATE))
        frames += struct.pack('<hh', value, value)
    with wave.open(path, 'wb') as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(bytes(frames))


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


class Process:
    """A child whose output is kept for the report of a failure."""

    def __init__(self, command, ready=None):
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True)
        self.log = []
        self.found = None
        seen = threading.Event()

        def read():
            for line in self.process.stdout:
                self.log.append(line)
                match = ready.search(line) if ready else None
                if match and not self.found:
                    self.found = match
                    seen.set()
            seen.set()

        threading.Thread(target=read, daemon=True).start()
        if ready:
            seen.wait(WAIT_S)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        try:
            self.process.wait(WAIT_S)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def get(url, method='GET'):
    """(status, body) of a request; the body as text."""
    request = urllib.request.Request(url, method=method)
    try:
        with urllib.request.urlopen(request, timeout=10) as answer:
            return answer.status, answer.read().decode('utf-8', 'replace')
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode('utf-8', 'replace')
    except OSError:
        return None, ''


def query(prometheus, expression):
    status, body = get(f'{prometheus}/api/v1/query?' +
                       urllib.parse.urlencode({'query': expression}))
    if status != 200:
        return []
    answer = json.loads(body)
    return answer['data']['result'] if answer.get('status') == 'success' else []


def check(program, folder):
    data = os.path.join(folder, 'data')
    os.makedirs(os.path.join(data, 'configuration'))
    card = free_card_address()
    with open(os.path.join(data, 'configuration', 'startup.txt'), 'w') as out:
        out.write(configuration(card))
    tone = os.path.join(folder, 'tone.wav')
    write_tone(tone)

    children = []
    try:
        lmcard = Process([program, 'lmcard', '--address', card, '--slot', str(SLOT), '--file',
                          tone, '--loop'])
        children.append(lmcard)
        engine = Process([program, 'run', '--data', data, '--report', data, '--http',
                          '127.0.0.1:0', '--seconds', '170'],
                         re.compile(r'Remote panel serving (http://127\.0\.0\.1:(\d+))/'))
        children.append(engine)
        if not engine.found:
            fail('the engine named no address:\n' + ''.join(engine.log))
        url, port = engine.found.group(1), engine.found.group(2)

        status = wait_for('an answer from /metrics', lambda: get(url + '/metrics')[0])
        if status in NOT_SERVED:
            print(f'/metrics answers {status}: the engine serves no metrics', file=sys.stderr)
            return SKIP
        if status != 200:
            fail(f'/metrics answered {status}')

        # The monitor shows up in the engine's own scrape, which promtool accepts as it is.
        def scraped():
            got, text = get(url + '/metrics')
            return text if got == 200 and f'{SESSION_STATE}{{' in text else None

        text = wait_for('the loudness monitor in a scrape', scraped)
        checked = subprocess.run([PROMTOOL, 'check', 'metrics'], input=text,
                                 capture_output=True, text=True)
        if checked.returncode != 0 or checked.stdout.strip() or checked.stderr.strip():
            fail(f'promtool refused the scrape:\n{checked.stdout}{checked.stderr}\n{text}')
        monitor = re.search(rf'{SESSION_STATE}{{monitor="(\d+)"', text)
        if not monitor:
            fail('the monitor has no id label:\n' + text)
        started, _ = get(f'{url}/api/monitors/{monitor.group(1)}/start', method='POST')

        web = f'127.0.0.1:{free_port()}'
        settings = os.path.join(folder, 'prometheus.yml')
        with open(settings, 'w') as out:
            out.write(f'''global:
  scrape_interval: 1s
  evaluation_interval: 1s
scrape_configs:
  - job_name: qelm
    metrics_path: /metrics
    static_configs:
      - targets: ["127.0.0.1:{port}"]
''')
        prometheus = Process([PROMETHEUS, f'--config.file={settings}',
                              f'--storage.tsdb.path={os.path.join(folder, "tsdb")}',
                              f'--web.listen-address={web}'])
        children.append(prometheus)
        prometheus_url = f'http://{web}'

        def level():
            for series in query(prometheus_url, MOMENTARY):
                value = float(series['value'][1])
                if abs(value - EXPECTED_LUFS) <= TOLERANCE_LU:
                    return series
            return None

        try:
            series = wait_for(f'{MOMENTARY} near {EXPECTED_LUFS} LUFS in Prometheus', level)
        except AssertionError:
            said = query(prometheus_url, MOMENTARY)
            targets = get(f'{prometheus_url}/api/v1/targets')[1]
            raise AssertionError(f'Prometheus has {said}; its targets: {targets}') from None
        if series['metric'].get('name') != DEVICE or series['metric'].get('job') != 'qelm':
            fail(f'the series is not the monitor\'s: {series["metric"]}')

        # A session the API started is running, as the state set says.
        if started is not None and 200 <= started < 300:
            wait_for('the running session in Prometheus', lambda: query(
                prometheus_url, f'{SESSION_STATE}{{state="{RUNNING}"}} == 1'))
        return 0
    except AssertionError as error:
        logs = '\n'.join(f'--- {" ".join(c.process.args[:2])}\n' + ''.join(c.log[-40:])
                         for c in children)
        raise AssertionError(f'{error}\n{logs}') from None
    finally:
        for child in reversed(children):
            child.stop()


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
