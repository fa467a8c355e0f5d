"""SyncDispatcher end to end: setup, the reader thread, close, and how the
reader ends."""

import errno
import gc
import os
import socket
import subprocess
import sys
import textwrap
import threading
import warnings
import weakref

import pytest

from corvane_layout import field, view
from vestrel.utils.corvane.corvane import SyncDispatcher
from wake_helpers import (NO_SOCKET, TIMEOUT, Collector, PacedProducer, push_entry,
                          reader_threads)

HERE = os.path.dirname(os.path.abspath(__file__))


def start(d, *args, **kwargs):
    """Runs setup and returns the reader thread it started."""
    before = set(threading.enumerate())
    d.setup(*args, **kwargs)
    started = reader_threads(before)
    assert len(started) == 1
    return started[0]


def stop(d, reader):
    d.close()
    reader.join(TIMEOUT)
    assert not reader.is_alive()
    assert reader not in threading.enumerate()


@pytest.fixture
def running():
    """Makes set-up dispatchers and makes sure each reader has ended."""
    made = []

    def make(*args, **kwargs):
        d = SyncDispatcher(*args, **kwargs)
        made.append((d, start(d)))
        return d

    yield make
    for d, reader in made:
        stop(d, reader)


def test_message_pushed_before_setup_arrives_after_setup():
    got = Collector()
    d = SyncDispatcher(got, 8, 16)
    push_entry(d, "push")(b"early")
    assert len(field(d, "_q")) == 1
    reader = start(d)
    assert got.wait_for(1) == [b"early"]
    stop(d, reader)


def test_back_to_back_messages_arrive_separately_in_order(running):
    got = Collector()
    push = push_entry(running(got), "push")
    push(b"one")
    push(b"two")
    assert got.wait_for(2) == [b"one", b"two"]
    assert all(type(m) is bytes for m in got.messages)


def numbered(count, sizes):
    return [i.to_bytes(4, "little") + bytes((i * 7 + k) % 256 for k in range(sizes(i)))
            for i in range(count)]


@pytest.mark.parametrize("variable_size, entry, sizes", [
    (False, "push", lambda i: 60),  # 64-byte messages in 64-byte slots
    (True, "push_var", lambda i: (i * 37) % 97),  # 4 to 100 bytes
])
def test_small_ring_wraps_many_times_in_order_intact(running, variable_size, entry, sizes):
    messages = numbered(3000, sizes)
    producer = None
    got = Collector(lambda m: producer.consumed())
    d = running(got, 8, 64, variable_size=variable_size)
    # One message stays held by the reader while its callback runs.
    producer = PacedProducer(d, entry, messages, window=3 if variable_size else 7)
    producer.start()
    producer.finish()
    assert got.wait_for(len(messages)) == messages


def test_close_drains_then_ends_the_reader():
    got = Collector()
    d = SyncDispatcher(got, 64, 16)
    reader = start(d)
    push = push_entry(d, "push")
    for i in range(20):
        push(b"m%d" % i)
    stop(d, reader)
    assert got.messages == [b"m%d" % i for i in range(20)]
    # Late pushes only store: there is no reader and no wake target.
    assert view(d)._fd == NO_SOCKET
    push(b"late")
    assert len(field(d, "_q")) >= 1


def test_close_before_setup_returns_none_and_setup_still_works():
    got = Collector()
    d = SyncDispatcher(got)
    assert d.close() is None
    assert view(d)._fd == NO_SOCKET
    reader = start(d)
    push_entry(d, "push")(b"after")
    assert got.wait_for(1) == [b"after"]
    stop(d, reader)


def test_closed_dispatcher_frees_its_socket_without_warning():
    d = SyncDispatcher(print)
    stop(d, start(d))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        del d
        gc.collect()
    assert [w for w in caught if issubclass(w.category, ResourceWarning)] == []


def test_callback_error_ends_the_reader_and_reaches_excepthook(monkeypatch):
    reports = []
    reported = threading.Event()

    def hook(args):
        reports.append((args.exc_type, str(args.exc_value), args.thread))
        reported.set()

    monkeypatch.setattr(threading, "excepthook", hook)

    def callback(msg):
        raise ValueError(msg.decode())

    d = SyncDispatcher(callback)
    reader = start(d)
    push = push_entry(d, "push")
    push(b"bad")
    assert reported.wait(TIMEOUT)
    reader.join(TIMEOUT)
    assert not reader.is_alive()
    assert reports == [(ValueError, "bad", reader)]
    push(b"stored, never taken")
    assert len(field(d, "_q")) >= 1
    d.close()


def test_setup_argument_errors_start_nothing():
    d = SyncDispatcher(print)
    before = set(threading.enumerate())
    with pytest.raises(TypeError, match="Argument 'host' has incorrect type"):
        d.setup(host=5)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        with pytest.raises(Exception) as expected:
            s.bind((None, 0))
    with pytest.raises(expected.type) as got:
        d.setup(None)
    assert str(got.value) == str(expected.value)
    assert reader_threads(before) == []
    assert view(d)._fd == NO_SOCKET
    # Nothing was kept, so a correct setup still works.
    stop(d, start(d, "127.0.0.1"))


def test_second_setup_is_refused(running):
    d = running(print)
    before = set(threading.enumerate())
    with pytest.raises(RuntimeError, match="already set up"):
        d.setup()
    assert reader_threads(before) == []


@pytest.mark.parametrize("variable_size", [False, True])
@pytest.mark.parametrize("daemon", [False, True])
def test_thread_body_is_the_instance_reader(variable_size, daemon):
    ran = []
    done = threading.Event()

    class Recording(SyncDispatcher):
        def _try_pop(self):
            ran.append(("_try_pop", threading.current_thread()))
            done.set()

        def _try_pop_var(self):
            ran.append(("_try_pop_var", threading.current_thread()))
            done.set()

    d = Recording(print, variable_size=variable_size, daemon=daemon)
    d.setup()
    assert done.wait(TIMEOUT)
    (name, reader), = ran
    reader.join(TIMEOUT)
    assert name == ("_try_pop_var" if variable_size else "_try_pop")
    assert reader is not threading.current_thread() and not reader.is_alive()
    assert reader.daemon is daemon
    d.close()


@pytest.mark.parametrize("variable_size", [False, True])
def test_daemon_flag_reaches_the_real_reader(running, variable_size):
    got = Collector()
    d = running(got, variable_size=variable_size, daemon=True)
    push_entry(d, "push_var" if variable_size else "push")(b"d")
    assert got.wait_for(1) == [b"d"]


@pytest.mark.parametrize("method, variable_size, entry", [
    ("_try_pop", False, "push"),
    ("_try_pop_var", True, "push_var"),
])
def test_reader_without_socket_raises_instead_of_spinning(method, variable_size, entry):
    got = Collector()
    d = SyncDispatcher(got, variable_size=variable_size)
    push_entry(d, entry)(b"queued")
    with pytest.raises(RuntimeError, match=f"SyncDispatcher.{method}: there is no socket"):
        getattr(d, method)()
    assert got.messages == [b"queued"]


def test_failed_wait_ends_the_reader():
    d = SyncDispatcher(print)
    view(d)._fd = 2**31 - 1  # no such descriptor
    try:
        with pytest.raises(OSError) as info:
            d._try_pop()
    finally:
        view(d)._fd = NO_SOCKET
    # Winsock names a handle that is no socket as such.
    assert info.value.errno == (errno.WSAENOTSOCK if sys.platform == "win32" else errno.EBADF)


def test_running_reader_keeps_its_dispatcher_alive():
    class Owned(SyncDispatcher):
        pass

    got = Collector()
    d = Owned(got)
    reader = start(d)
    push = push_entry(d, "push")
    ref = weakref.ref(d)
    del d
    gc.collect()
    assert ref() is not None
    push(b"still here")
    assert got.wait_for(1) == [b"still here"]
    stop(ref(), reader)
    del reader
    gc.collect()
    assert ref() is None


EXIT_SCRIPT = textwrap.dedent("""
    import sys, threading
    sys.path.insert(0, {here!r})
    from vestrel.utils.corvane.corvane import SyncDispatcher
    from wake_helpers import Collector, push_entry
    got = Collector()
    d = SyncDispatcher(got, daemon=False)
    d.setup()
    push_entry(d, "push")(b"bye")
    got.wait_for(1)
    d.close()
    print(got.messages)
""")


def test_closed_non_daemon_dispatcher_lets_the_process_exit():
    done = subprocess.run([sys.executable, "-X", "dev", "-c", EXIT_SCRIPT.format(here=HERE)],
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "[b'bye']\n", "")


@pytest.mark.stress
def test_million_messages_in_order():
    count = 1_000_000
    producer = None
    seen = [0]
    bad = []

    def check(msg):
        i = int.from_bytes(msg[:8], "little")
        if i != seen[0] or msg[8:] != bytes([i % 251]) * 56:
            bad.append(i)
        seen[0] += 1
        producer.consumed()

    messages = (i.to_bytes(8, "little") + bytes([i % 251]) * 56 for i in range(count))
    d = SyncDispatcher(check, 256, 64)
    producer = PacedProducer(d, "push", messages, window=255)
    reader = start(d)
    producer.start()
    producer.join(600)
    assert not producer.is_alive() and not producer.stalled
    stop(d, reader)
    assert (seen[0], bad) == (count, [])
