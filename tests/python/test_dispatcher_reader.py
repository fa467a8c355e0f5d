"""What the dispatchers do alike, each test run for every class it holds for:
pushes made before setup, setup's refusals, close before setup and twice,
and a running reader's hold on its dispatcher. AsyncDispatcher runs on the
stdlib loop and on uvloop; the others need no loop but run on one, so that
one test body drives them all."""

import asyncio
import gc
import socket
import threading
import time
import warnings
import weakref

import pytest

from conftest import needs_uvloop
from corvane_layout import field, view
from vestrel import _testing
from vestrel.utils.corvane.corvane import AsyncDispatcher, SyncDispatcher, ThreadedDispatcher
from wake_helpers import (NO_SOCKET, TIMEOUT, UNDER_WINE, Collector, ended_after_close,
                          join_reader, push_entry, reader_threads, seqs, start_reader)


class Reader:
    """How a test starts, waits on and ends one class's reader; every step
    is awaited on the test's loop."""

    def callback(self, got):
        return got

    async def wait_for(self, got, count):
        # The reader is a thread of its own: blocking the loop holds up nobody.
        return got.wait_for(count)

    async def stop(self, d, reader):
        d.close()
        await self.ended(reader)


class SyncReader(Reader):
    cls = SyncDispatcher
    held = ("_sock",)  # what setup fills, besides the wake target
    close_clears = ()  # the socket stays until the dispatcher is freed

    async def start(self, d, *args):
        return start_reader(d, *args)

    async def ended(self, reader):
        join_reader(reader)


class AsyncReader(Reader):
    cls = AsyncDispatcher
    held = close_clears = ("_sock", "_task")

    def callback(self, got):
        async def deliver(msg):
            got(msg)

        return deliver

    async def wait_for(self, got, count):
        while len(got.messages) < count:  # bounded by the run's timeout
            await asyncio.sleep(0.001)
        return got.messages

    async def start(self, d, *args):
        d.setup(*args)
        return field(d, "_task")

    async def ended(self, task):
        await ended_after_close(task)


class ThreadedReader(Reader):
    cls = ThreadedDispatcher

    async def start(self, d):
        d.setup()

    async def ended(self, reader):
        pass  # a native thread: it ends by itself once it has drained the stopped ring


# The loop each class runs on; the socket readers are those that setup
# gives a wake socket.
SOCKET_READERS = [
    pytest.param(SyncReader(), "asyncio", id="SyncDispatcher"),
    pytest.param(AsyncReader(), "asyncio", id="AsyncDispatcher-asyncio"),
    pytest.param(AsyncReader(), "uvloop", id="AsyncDispatcher-uvloop", marks=needs_uvloop),
]
ALL_READERS = SOCKET_READERS + [pytest.param(ThreadedReader(), "asyncio", id="ThreadedDispatcher")]


@pytest.fixture
def make(kind):
    """Makes dispatchers of the kind's class; at the end each is closed and
    every thread the test started is joined."""
    before = set(threading.enumerate())
    made = []

    def build(got, **kwargs):
        d = kind.cls(kind.callback(got), **kwargs)
        made.append(d)
        return d

    yield build
    for d in made:
        d.close()
    for thread in reader_threads(before):
        join_reader(thread)


def kept(d, names):
    """What the named fields and the wake target hold: {} when nothing."""
    found = {name: field(d, name) for name in names if field(d, name) is not None}
    if view(d)._fd != NO_SOCKET:
        found["_fd"] = view(d)._fd
    return found


@pytest.mark.parametrize("kind, loop_kind", ALL_READERS)
def test_pushes_before_setup_are_delivered_after_it(kind, make, run_async):
    got = Collector()
    d = make(got, capacity=64, slot_size=64)
    assert _testing.start(d, 40).join(TIMEOUT)
    time.sleep(0.05)  # time for a reader that should not be there yet to take some
    assert (len(_testing.ring_of(d)), got.messages) == (40, [])

    async def main():
        reader = await kind.start(d)
        await kind.wait_for(got, 40)
        await kind.stop(d, reader)

    run_async(main)
    assert seqs(got.messages) == list(range(40))


def bind_error(host):
    """What the socket's own bind says about `host`."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        with pytest.raises(Exception) as info:
            s.bind((host, 0))
    return info.type, str(info.value)


class Str(str):
    pass


@pytest.mark.parametrize("args, kwargs, expected", [
    ((5,), {}, (TypeError, "Argument 'host' has incorrect type (expected str, got int)")),
    ((), {"host": Str("127.0.0.1")},
     (TypeError, "Argument 'host' has incorrect type (expected str, got Str)")),
    (("127.0.0.1", 1), {}, (TypeError, "setup() takes at most 1 positional argument (2 given)")),
    ((None,), {}, "bind"),  # passes the check, refused by bind
    pytest.param(("192.0.2.1",), {}, "bind",  # not an address of this host
                 marks=pytest.mark.skipif(UNDER_WINE, reason="Wine binds addresses the host lacks")),
])
@pytest.mark.parametrize("kind, loop_kind", SOCKET_READERS)
def test_setup_argument_errors_keep_nothing(kind, make, run_async, args, kwargs, expected):
    want = bind_error(args[0]) if expected == "bind" else expected
    got = Collector()
    d = make(got)

    async def main():
        before = set(threading.enumerate())
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            with pytest.raises(Exception) as info:
                d.setup(*args, **kwargs)
            gc.collect()
        assert (info.type, str(info.value)) == want
        assert [w for w in caught if issubclass(w.category, ResourceWarning)] == []
        assert kept(d, kind.held) == {} and reader_threads(before) == []
        # Nothing was kept, so a correct setup still works.
        reader = await kind.start(d, "127.0.0.1")
        push_entry(d, "push")(b"ok")
        await kind.wait_for(got, 1)
        await kind.stop(d, reader)

    run_async(main)


@pytest.mark.parametrize("kind, loop_kind", SOCKET_READERS)
def test_second_setup_is_refused(kind, make, run_async):
    got = Collector()
    d = make(got)

    async def main():
        reader = await kind.start(d)
        held = kept(d, kind.held)
        before = set(threading.enumerate())
        with pytest.raises(RuntimeError,
                           match=f"^{kind.cls.__name__}.setup: this dispatcher is already set up$"):
            d.setup()
        # The first reader goes on, alone.
        assert kept(d, kind.held) == held and reader_threads(before) == []
        push_entry(d, "push")(b"first")
        await kind.wait_for(got, 1)
        await kind.stop(d, reader)

    run_async(main)
    assert got.messages == [b"first"]


@pytest.mark.parametrize("kind, loop_kind", SOCKET_READERS)
def test_close_before_setup_and_twice(kind, make, run_async):
    got = Collector()
    d = make(got)
    assert d.close() is None
    assert kept(d, kind.held) == {}

    async def main():
        reader = await kind.start(d)
        push_entry(d, "push")(b"after")
        await kind.wait_for(got, 1)
        assert d.close() is None
        assert d.close() is None
        assert kept(d, kind.close_clears) == {}
        await kind.ended(reader)

    run_async(main)
    assert got.messages == [b"after"]


@pytest.mark.parametrize("kind, loop_kind", SOCKET_READERS)
def test_running_reader_keeps_its_dispatcher_alive(kind, run_async):
    class Owned(kind.cls):
        pass

    got = Collector()

    async def main():
        d = Owned(kind.callback(got))
        reader = await kind.start(d)
        push = push_entry(d, "push")
        ref = weakref.ref(d)
        del d
        gc.collect()
        assert ref() is not None
        push(b"still here")
        assert await kind.wait_for(got, 1) == [b"still here"]
        await kind.stop(ref(), reader)
        del reader
        gc.collect()
        assert ref() is None

    run_async(main)


# ------------------------------------------------------------ what is counted

RING_REFUSALS = ("refused_full", "refused_too_long", "refused_stopped", "refused_other_format")


@pytest.mark.parametrize("kind, loop_kind", ALL_READERS)
def test_refused_pushes_are_counted_and_the_rest_delivered(kind, make, run_async):
    """Nobody drains before setup: 8 of 100 fit, 92 are refused as full; 3
    longer than a slot are refused as too long. None is lost unseen."""
    got = Collector()
    d = make(got, capacity=8, slot_size=64)
    assert _testing.start(d, 3, size=100).join(TIMEOUT)
    assert _testing.start(d, 100).join(TIMEOUT)

    async def main():
        reader = await kind.start(d)
        await kind.wait_for(got, 8)
        await kind.stop(d, reader)

    run_async(main)
    s = d.stats()
    assert seqs(got.messages) == list(range(8))
    assert (s["stored"], s["delivered"], s["refused_full"], s["refused_too_long"]) == (8, 8, 92, 3)
    assert s["delivered"] + sum(s[k] for k in RING_REFUSALS) == 103
    if kind.cls is not ThreadedDispatcher:
        assert (s["wakes_sent"], s["wake_failures"]) == (0, 0)  # stored before setup


@pytest.mark.parametrize("kind, loop_kind", ALL_READERS)
def test_try_push_retries_lose_nothing(kind, make, run_async):
    """A producer that retries while try_push answers "full" gets every
    message through a ring far smaller than the run, in order."""
    count = 3000
    got = Collector()
    d = make(got, capacity=16, slot_size=64)

    async def main():
        reader = await kind.start(d)
        producer = _testing.start(d, count, retry=True)
        await kind.wait_for(got, count)
        await kind.stop(d, reader)
        return producer

    producer = run_async(main, timeout=120)
    assert producer.join(TIMEOUT)
    s = d.stats()
    assert seqs(got.messages) == list(range(count))
    assert (producer.pushed, s["stored"], s["delivered"]) == (count, count, count)
    if kind.cls is not ThreadedDispatcher:
        # One datagram for every message stored after setup.
        assert s["wakes_sent"] + s["wake_failures"] == count


# ------------------------------------------------------------ the opt-ins


class Batches(Collector):
    """A callback that takes lists and records them, and the messages in them."""

    def __init__(self):
        super().__init__()
        self.sizes = []

    def __call__(self, batch):
        assert isinstance(batch, list) and all(type(m) is bytes for m in batch)
        self.sizes.append(len(batch))
        with self.cond:
            self.messages.extend(batch)
            self.cond.notify_all()


def bursts(d, count, burst, pause):
    """Pushes `count` messages in bursts with pauses, so that the reader
    runs dry and waits between them; every message is stored (try_push)."""
    for first in range(0, count, burst):
        p = _testing.start(d, min(burst, count - first), retry=True)
        assert p.join(TIMEOUT)
        time.sleep(pause)


@pytest.mark.parametrize("kind, loop_kind", ALL_READERS)
def test_batches_hold_every_message_once_in_order(kind, make, run_async):
    count, batch = 2000, 32
    got = Batches()
    d = make(got, capacity=64, slot_size=64, batch=batch)
    assert _testing.start(d, 50).join(TIMEOUT)  # waiting before setup: one full batch first

    async def main():
        reader = await kind.start(d)
        await kind.wait_for(got, 50)
        producer = _testing.start(d, count, retry=True)
        await kind.wait_for(got, 50 + count)
        await kind.stop(d, reader)
        return producer

    producer = run_async(main, timeout=60)
    assert producer.join(TIMEOUT)
    # The producer numbers each run from 0.
    assert seqs(got.messages) == list(range(50)) + list(range(count))
    assert got.sizes[0] == batch and max(got.sizes) == batch and min(got.sizes) >= 1
    assert d.stats()["delivered"] == 50 + count


@pytest.mark.parametrize("kind, loop_kind", SOCKET_READERS)
def test_idle_wakes_wake_a_waiting_reader_and_lose_nothing(kind, make, run_async):
    """Bursts with pauses: each pause lets the reader run dry and wait, and
    the next burst must wake it. One datagram per wait at most, not one per
    message."""
    count, burst = 3000, 150
    got = Collector()
    d = make(got, capacity=64, slot_size=64, idle_wakes=True)

    async def main():
        reader = await kind.start(d)
        await asyncio.get_running_loop().run_in_executor(None, bursts, d, count, burst, 0.01)
        await kind.wait_for(got, count)
        await kind.stop(d, reader)

    run_async(main, timeout=60)
    s = d.stats()
    assert seqs(got.messages) == [i for first in range(0, count, burst)
                                  for i in range(min(burst, count - first))]
    assert s["delivered"] == count
    # At most one datagram per announced wait (a withdrawn one included).
    assert 0 < s["wakes_sent"] + s["wake_failures"] <= s["announced_waits"] < count


@pytest.mark.parametrize("kind, loop_kind", SOCKET_READERS)
def test_a_reader_of_a_subclass_is_woken_by_every_push(kind, make, run_async):
    """A reader that is not ours cannot announce: idle wakes give way."""
    got = Collector()

    class Own(kind.cls):
        pass

    if kind.cls is SyncDispatcher:
        def _try_pop(self):
            return SyncDispatcher._try_pop(self)
        Own._try_pop = _try_pop
    else:
        def _reader(self, loop, sock):
            return AsyncDispatcher._reader(self, loop, sock)
        Own._reader = _reader
    d = Own(kind.callback(got), capacity=64, slot_size=64, idle_wakes=True)

    async def main():
        reader = await kind.start(d)
        p = _testing.start(d, 500, retry=True)
        await kind.wait_for(got, 500)
        await kind.stop(d, reader)
        return p

    assert run_async(main, timeout=60).join(TIMEOUT)
    s = d.stats()
    assert (s["delivered"], s["wakes_sent"] + s["wake_failures"]) == (500, 500)
