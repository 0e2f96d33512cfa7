"""What the tests of the server's pages and answers share: Debian's interpreter for Debian's
packages, the exit code of a skipped test, and waiting for what a loaded machine does late."""
import importlib
import os
import sys
import time

SKIP = 77  # CTest's SKIP_RETURN_CODE for these tests
# The Debian packages the tests need (selenium, jsonschema) live with Debian's own interpreter.
DEBIAN_PYTHON = '/usr/bin/python3'
WAIT_S = 20  # how long anything may take on a loaded machine before it counts as lost


def need(module):
    """Imports `module`, or runs this script again under Debian's python3 when another
    interpreter lacks it."""
    try:
        return importlib.import_module(module)
    except ImportError:
        if os.path.exists(DEBIAN_PYTHON) and os.path.realpath(sys.executable) != DEBIAN_PYTHON:
            os.execv(DEBIAN_PYTHON, [DEBIAN_PYTHON] + sys.argv)
        raise


def fail(message):
    raise AssertionError(message)


def wait_for(what, condition, seconds=WAIT_S, every=0.05):
    """`condition()` once it is true; fails when it is still false after `seconds`."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        result = condition()
        if result:
            return result
        time.sleep(every)
    fail(f'timed out waiting for {what}')
