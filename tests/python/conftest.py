"""Fixtures shared by the asyncio tests: every such test runs on the stdlib
loop and on uvloop, each run bounded by a timeout so a hang fails the test."""

import asyncio

import pytest

try:
    import uvloop
except ImportError:  # not available on this platform
    uvloop = None

LOOPS = ["asyncio", pytest.param("uvloop", marks=pytest.mark.skipif(uvloop is None, reason="no uvloop"))]


def new_loop(kind):
    return asyncio.new_event_loop() if kind == "asyncio" else uvloop.new_event_loop()


@pytest.fixture(params=LOOPS)
def loop_kind(request):
    return request.param


@pytest.fixture
def run_async(loop_kind):
    """run_async(coroutine_function, *args, timeout=10): runs it to the end on
    a fresh loop of the parametrized kind and returns its result."""

    def run(fn, *args, timeout=10):
        loop = new_loop(loop_kind)
        try:
            return loop.run_until_complete(asyncio.wait_for(fn(*args), timeout))
        finally:
            loop.run_until_complete(loop.shutdown_asyncgens())
            loop.close()

    return run
