#!/usr/bin/python3
"""The API's description against a validator and against the program's own answers.

    openapi_test.py validate PATH/TO/swagger-cli PATH/TO/openapi.json
        valid OpenAPI 3 (exit 77: no swagger-cli; tools/dev installs it)
    openapi_test.py answers PATH/TO/qelm-engine
        every documented JSON answer of a run with the default configuration matches its
        schema (exit 77: the engine publishes nothing to the API yet)
"""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

from page_test_support import SKIP, WAIT_S, need

need('jsonschema')
import jsonschema

UNAVAILABLE = 503
# The default configuration's programme loudness card, played here by `qelm-engine lmcard`.
CARD_ADDRESS = '127.0.0.60'
TEST_SIGNAL = 'resources/lm_test_signal.wav'


def validate(swagger_cli, description):
    if not os.access(swagger_cli, os.X_OK):
        print(f'SKIP: no {swagger_cli}; tools/dev installs @apidevtools/swagger-cli')
        return SKIP
    done = subprocess.run([swagger_cli, 'validate', description], capture_output=True, text=True,
                          timeout=120)
    print(done.stdout + done.stderr)
    return 0 if done.returncode == 0 else 1


def as_json_schema(node):
    """OpenAPI 3.0's `nullable` as JSON Schema's type list, everywhere in the document."""
    if isinstance(node, list):
        return [as_json_schema(part) for part in node]
    if not isinstance(node, dict):
        return node
    out = {key: as_json_schema(value) for key, value in node.items()}
    if out.pop('nullable', False) and 'type' in out:
        out['type'] = [out['type'], 'null']
    return out


def template_of(path, description):
    """The documented path (with {names}) that `path` is; a fixed path before a template."""
    if path in description['paths']:
        return path
    for template in description['paths']:
        # A report's name may hold slashes.
        pattern = re.sub(r'\\\{file\\\}', '.+', re.escape(template))
        if re.fullmatch(re.sub(r'\\\{[^}]+\\\}', '[^/]+', pattern), path):
            return template
    raise AssertionError(f'{path} is not documented')


class Engine:
    """qelm-engine run with the default configuration, serving on a free loopback port."""

    def __init__(self, program, data):
        self.process = subprocess.Popen(
            [program, 'run', '--data', data, '--report', data, '--http', '127.0.0.1:0',
             '--seconds', '120'], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.log, self.url = [], None

        def read():
            for line in self.process.stdout:
                self.log.append(line)
                serving = re.search(r'Remote panel serving (http://127\.0\.0\.1:\d+)/', line)
                self.url = self.url or (serving and serving.group(1))

        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        end = time.monotonic() + WAIT_S
        while not self.url and reader.is_alive() and time.monotonic() < end:
            time.sleep(0.05)
        if not self.url:
            self.stop()
            raise AssertionError('the engine named no address:\n' + ''.join(self.log))

    def call(self, method, path, body=None):
        """(status, content type, parsed JSON or text) of one request."""
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.url + path, data=data, method=method)
        if data is not None:
            request.add_header('Content-Type', 'application/json')
        try:
            with urllib.request.urlopen(request, timeout=WAIT_S) as response:
                status, kind, raw = response.status, response.headers['Content-Type'], response.read()
        except urllib.error.HTTPError as error:
            status, kind, raw = error.code, error.headers['Content-Type'], error.read()
        return status, kind, json.loads(raw) if kind == 'application/json' else raw.decode()

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        try:
            self.process.wait(WAIT_S)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def answers(program):
    folder = tempfile.mkdtemp(prefix='qelm-openapi-')
    card = subprocess.Popen(
        [program, 'lmcard', '--address', CARD_ADDRESS, '--loop', '--file',
         os.path.join(os.path.dirname(program), TEST_SIGNAL)],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    engine = Engine(program, folder)
    try:
        status, _, description = engine.call('GET', '/api/openapi.json')
        assert status == 200, f'/api/openapi.json answered {status}'
        resolver = jsonschema.RefResolver.from_schema(as_json_schema(description))

        def check(method, path, expected, body=None):
            status, kind, answer = engine.call(method, path, body)
            assert status == expected, f'{method} {path}: {status} {answer}'
            operation = description['paths'][template_of(path, description)][method.lower()]
            content = operation['responses'][str(status)]['content']
            media = kind.split(';')[0].strip()
            assert media in content, f'{method} {path}: {kind} is not documented'
            if media == 'application/json':
                schema = as_json_schema(content[media]['schema'])
                jsonschema.Draft7Validator(schema, resolver=resolver).validate(answer)
            return answer

        if engine.call('GET', '/api/monitors')[0] == UNAVAILABLE:
            print('SKIP: the engine publishes nothing to the API yet')
            return SKIP
        monitors = check('GET', '/api/monitors', 200)['monitors']
        check('GET', '/api/cards', 200)
        check('GET', '/api/devices/999999', 404)
        check('GET', '/metrics', 200)
        for monitor in monitors[:1]:
            # A session starts only on a card that sends loudness data; before, it is refused.
            path = f'/api/monitors/{monitor["id"]}'
            end = time.monotonic() + WAIT_S
            while check('GET', path, 200)['noData'] or not check('GET', path, 200)['linkUp']:
                if time.monotonic() > end:
                    check('POST', path + '/start', 409)
                    raise AssertionError(f'the card of {monitor["name"]} never sent data')
                time.sleep(0.1)
            check('POST', path + '/start', 200)
            check('POST', path + '/stop', 200)
        for device in check('GET', '/api/devices', 200)['devices'][:1]:
            check('GET', f'/api/devices/{device["number"]}', 200)
            items = [(page['number'], item) for page in device['pages'] for item in page['items']
                     if item['writable'] and item['number'] is not None]
            for page, item in items[:1]:
                path = f'/api/devices/{device["number"]}/pages/{page}/items/{item["index"]}'
                check('PUT', path, 200, {'value': item['number']})
                check('PUT', path, 400, {'value': [1]})
        for report in check('GET', '/api/reports', 200)['reports'][:1]:
            check('GET', report['url'], 200)
        return 0
    finally:
        engine.stop()
        card.terminate()
        card.wait()
        shutil.rmtree(folder, ignore_errors=True)


def main():
    try:
        if len(sys.argv) == 4 and sys.argv[1] == 'validate':
            return validate(sys.argv[2], sys.argv[3])
        if len(sys.argv) == 3 and sys.argv[1] == 'answers':
            return answers(os.path.abspath(sys.argv[2]))
    except (AssertionError, jsonschema.ValidationError) as error:
        print(f'FAILED: {error}')
        return 1
    print(__doc__)
    return 64


if __name__ == '__main__':
    sys.exit(main())
