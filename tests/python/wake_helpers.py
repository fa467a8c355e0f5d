"""Helpers for the dispatcher tests: the producer side, and the readers'
start and end.

The push entries of a class's method table are called through ctypes, which
releases the GIL around the call, so they run as a native producer would. A
UDP socket of our own stands in for a dispatcher's address to watch wake
datagrams."""

import asyncio
import ctypes
import socket
import sys
import threading

from corvane_layout import VTABLES, field, view, vtable
from vestrel import _testing

MODULE = "vestrel.utils.corvane.corvane"
NO_SOCKET = 2**64 - 1
TIMEOUT = 10

PUSH = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t)

# Wine's ntdll names itself by this export; its sockets differ from Windows'
# in places.
UNDER_WINE = sys.platform == "win32" and hasattr(ctypes.WinDLL("ntdll"), "wine_get_version")


def bridge_class(obj):
    return next(c for c in type(obj).__mro__ if c.__module__ == MODULE)


def push_entry(dispatcher, name):
    """The table entry `name` ("push" or "push_var") as f(data)."""
    cls = bridge_class(dispatcher)
    fn = PUSH(vtable(cls)[VTABLES[cls.__name__].index(name)])
    address = id(dispatcher)
    return lambda data: fn(address, data, len(data))


def wake_address(dispatcher):
    a = view(dispatcher)._addr
    return socket.inet_ntoa(a.addr.to_bytes(4, sys.byteorder)), socket.ntohs(a.port)


def aim(dispatcher, fd, address):
    """Points the wake target at `address`, sent from `fd`: address first."""
    v = view(dispatcher)
    ip, port = address
    v._addr.family = socket.AF_INET
    v._addr.port = socket.htons(port)
    v._addr.addr = int.from_bytes(socket.inet_aton(ip), sys.byteorder)
    v._fd = fd


class Watcher:
    """A bound UDP socket that counts what reaches it."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.address = self.sock.getsockname()

    def receive(self, count):
        """The next `count` datagrams as (payload, source), then checks that
        no more arrive for a short while."""
        got = []
        self.sock.settimeout(TIMEOUT)
        for _ in range(count):
            got.append(self.sock.recvfrom(16))
        self.sock.settimeout(0.2)
        try:
            extra = self.sock.recvfrom(16)
        except socket.timeout:
            return got
        raise AssertionError(f"unexpected datagram {extra!r} after {got!r}")

    def close(self):
        self.sock.close()


class Collector:
    """A callback that records messages and lets a test wait for a count."""

    def __init__(self, on_message=None):
        self.messages = []
        self.cond = threading.Condition()
        self.on_message = on_message

    def __call__(self, msg):
        with self.cond:
            self.messages.append(msg)
            self.cond.notify_all()
        if self.on_message:
            self.on_message(msg)

    def wait_for(self, count):
        with self.cond:
            assert self.cond.wait_for(lambda: len(self.messages) >= count, TIMEOUT), (
                f"{len(self.messages)} of {count} messages arrived")
        return self.messages


class PacedProducer(threading.Thread):
    """Pushes `messages` from a thread of its own with at most `window`
    unconsumed (the callback calls `consumed`): these push entries drop what
    a full ring refuses, so a producer that must lose nothing paces itself."""

    def __init__(self, dispatcher, entry, messages, window):
        super().__init__(daemon=True)
        self.push = push_entry(dispatcher, entry)
        self.messages = messages
        self.tokens = threading.Semaphore(window)
        self.stalled = False

    def consumed(self, _msg=None):
        self.tokens.release()

    def run(self):
        for m in self.messages:
            if not self.tokens.acquire(timeout=TIMEOUT):
                self.stalled = True
                return
            self.push(m)

    def finish(self):
        self.join(TIMEOUT)
        assert not self.is_alive() and not self.stalled


def reader_threads(before):
    return [t for t in threading.enumerate() if t not in before]


def seqs(messages):
    """The sequence numbers of messages from the native test producer."""
    return [_testing.decode(m)[0] for m in messages]


# ------------------------------------------------------------ SyncDispatcher readers


def start_reader(d, *args, **kwargs):
    """Runs a SyncDispatcher's setup and returns the reader thread it started."""
    before = set(threading.enumerate())
    d.setup(*args, **kwargs)
    started = reader_threads(before)
    assert len(started) == 1
    return started[0]


def join_reader(reader):
    reader.join(TIMEOUT)
    assert not reader.is_alive()
    assert reader not in threading.enumerate()


def stop_reader(d, reader):
    d.close()
    join_reader(reader)


# ------------------------------------------------------------ AsyncDispatcher readers


async def ended(task):
    """Waits for the task to finish without awaiting it (which would raise)."""
    done = asyncio.Event()
    task.add_done_callback(lambda _: done.set())
    await done.wait()


async def ended_after_close(task):
    """Waits for the reader task to end after close: cancelled, also when it
    would have waited on the closed socket before the cancellation ran."""
    await ended(task)
    assert task.cancelled(), task.exception()


async def close_and_wait(d):
    task = field(d, "_task")
    d.close()
    await ended_after_close(task)
