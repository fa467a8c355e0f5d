"""SyncDispatcher end to end: setup, the reader thread, close, and how the
reader ends. What it does like the other dispatchers is tested in
test_dispatcher_reader."""

import errno
import gc
import sys
import threading
import warnings

import pytest

from corvane_layout import field, view
from vestrel.utils.corvane.corvane import SyncDispatcher
from wake_helpers import (NO_SOCKET, TIMEOUT, Collector, PacedProducer, push_entry,
                          start_reader, stop_reader)


@pytest.fixture
def running():
    """Makes set-up dispatchers and makes sure each reader has ended."""
    made = []

    def make(*args, **kwargs):
        d = SyncDispatcher(*args, **kwargs)
        made.append((d, start_reader(d)))
        return d

    yield make
    for d, reader in made:
        stop_reader(d, reader)


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
    reader = start_reader(d)
    push = push_entry(d, "push")
    for i in range(20):
        push(b"m%d" % i)
    stop_reader(d, reader)
    assert got.messages == [b"m%d" % i for i in range(20)]
    # Late pushes only store: there is no reader and no wake target.
    assert view(d)._fd == NO_SOCKET
    push(b"late")
    assert len(field(d, "_q")) >= 1


def test_closed_dispatcher_frees_its_socket_without_warning():
    d = SyncDispatcher(print)
    stop_reader(d, start_reader(d))
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
    reader = start_reader(d)
    push = push_entry(d, "push")
    push(b"bad")
    assert reported.wait(TIMEOUT)
    reader.join(TIMEOUT)
    assert not reader.is_alive()
    assert reports == [(ValueError, "bad", reader)]
    push(b"stored, never taken")
    assert len(field(d, "_q")) >= 1
    d.close()


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


EXIT_SCRIPT = """
    from vestrel.utils.corvane.corvane import SyncDispatcher
    from wake_helpers import Collector, push_entry
    got = Collector()
    d = SyncDispatcher(got, daemon=False)
    d.setup()
    push_entry(d, "push")(b"bye")
    got.wait_for(1)
    d.close()
    print(got.messages)
"""


def test_closed_non_daemon_dispatcher_lets_the_process_exit(run_python):
    done = run_python(EXIT_SCRIPT, "-X", "dev", timeout=60)
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
    reader = start_reader(d)
    producer.start()
    producer.join(600)
    assert not producer.is_alive() and not producer.stalled
    stop_reader(d, reader)
    assert (seen[0], bad) == (count, [])
