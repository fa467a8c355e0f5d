"""Fixtures shared by the test files.

Every asyncio test runs on the stdlib loop and on uvloop, each run bounded by
a timeout so a hang fails the test."""

import asyncio
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import vestrel

try:
    import uvloop
except ImportError:  # not available on this platform
    uvloop = None

needs_uvloop = pytest.mark.skipif(uvloop is None, reason="no uvloop")
LOOPS = ["asyncio", pytest.param("uvloop", marks=needs_uvloop)]

HERE = os.path.dirname(os.path.abspath(__file__))
TIMEOUT = 10


def new_loop(kind):
    return asyncio.new_event_loop() if kind == "asyncio" else uvloop.new_event_loop()


@pytest.fixture(params=LOOPS)
def loop_kind(request):
    return request.param


@pytest.fixture
def run_async(loop_kind):
    """run_async(coroutine_function, *args, timeout=10): runs it to the end on
    a fresh loop of the parametrized kind and returns its result."""

    def run(fn, *args, timeout=TIMEOUT):
        loop = new_loop(loop_kind)
        try:
            return loop.run_until_complete(asyncio.wait_for(fn(*args), timeout))
        finally:
            loop.run_until_complete(loop.shutdown_asyncgens())
            loop.close()

    return run


@pytest.fixture
def loop_thread(loop_kind):
    """A loop of the parametrized kind running in a thread of its own."""
    loop = new_loop(loop_kind)
    thread = threading.Thread(target=loop.run_forever)
    thread.start()
    yield loop
    loop.call_soon_threadsafe(loop.stop)
    thread.join(TIMEOUT)
    assert not thread.is_alive()
    loop.close()


@pytest.fixture
def current_loop():
    """A current (not running) event loop: before 3.10 asyncio.Lock() binds to
    it, so AsyncQueue.__init__ needs one even when it is given a loop."""
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    yield loop
    asyncio.set_event_loop(None)
    loop.close()


@pytest.fixture
def unraisable(monkeypatch):
    """Collects what reaches sys.unraisablehook, each report as the hook got
    it (a kept report keeps its traceback's frames alive); `wait()` blocks
    until one arrives."""

    class Reports(list):
        def wait(self):
            return arrived.wait(TIMEOUT)

    reports = Reports()
    arrived = threading.Event()

    def hook(report):
        reports.append(report)
        arrived.set()

    monkeypatch.setattr(sys, "unraisablehook", hook)
    return reports


@pytest.fixture
def run_python():
    """run_python(code, *options, args=(), timeout=120): runs `code`
    (dedented) in a fresh interpreter that imports the vestrel under test and
    the helpers of this folder; the finished process, its output as text."""
    paths = [os.path.dirname(os.path.dirname(vestrel.__file__)), HERE]

    # Set in the code as well: an interpreter whose path comes from a ._pth
    # file (Windows' embeddable build) ignores PYTHONPATH.
    prelude = f"import sys; sys.path[:0] = {paths!r}\n"

    def run(code, *options, args=(), timeout=120):
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [*paths, env.get("PYTHONPATH")]))
        return subprocess.run([sys.executable, *options, "-c", prelude + textwrap.dedent(code), *args],
                              capture_output=True, text=True, env=env, timeout=timeout)

    return run
