"""AsyncDispatcher end to end, on the stdlib loop and on uvloop: setup, the
reader task fed by the native producer of vestrel._testing, and close."""

import asyncio
import gc
import socket
import threading
import warnings
import weakref

import pytest

from corvane_layout import field, view
from vestrel import _testing
from vestrel.utils.corvane.corvane import AsyncDispatcher
from wake_helpers import NO_SOCKET, TIMEOUT, UNDER_WINE, push_entry, wake_address


class Receiver:
    """An async callback that records messages, notes whether it is ever
    entered while a call is still running, and lets a test await a count."""

    def __init__(self):
        self.messages = []
        self.inside = False
        self.overlapped = False
        self.changed = None

    async def __call__(self, msg):
        self.overlapped |= self.inside
        self.inside = True
        self.messages.append(msg)
        if self.changed:
            self.changed.set()
        await asyncio.sleep(0)  # a reader that does not await us would enter again here
        self.inside = False

    async def wait_for(self, count):
        while len(self.messages) < count:
            self.changed = asyncio.Event()
            await self.changed.wait()
        return self.messages


async def waiting(task, got):
    """Until the reader has no callback running and is suspended: then it
    waits in sock_recv."""
    while got.inside or task.get_coro().cr_await is None:
        await asyncio.sleep(0.001)


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


def seqs(messages):
    return [_testing.decode(m)[0] for m in messages]


# ------------------------------------------------------------ delivery


@pytest.mark.parametrize("variable, sizes, chunk", [
    (False, dict(size=64), 63),  # 64 slots, one of them held by the reader
    (True, dict(min_size=16, max_size=100), 30),  # at most 3.4 KiB of a 4.5 KiB ring
])
@pytest.mark.parametrize("via", ["table", "push_fn"])
def test_every_message_once_intact_in_order_one_at_a_time(run_async, variable, sizes, chunk, via):
    # These pushes drop what a full ring refuses, so each producer run pushes
    # only what fits; fifty runs wrap the ring dozens of times.
    rounds = 50

    async def main():
        got = Receiver()
        d = AsyncDispatcher(got, capacity=64, slot_size=64, variable_size=variable)
        d.setup()
        try:
            for n in range(1, rounds + 1):
                producer = _testing.start(d, chunk, via=via, **sizes)
                await got.wait_for(n * chunk)
                assert producer.join(TIMEOUT)
        finally:
            await close_and_wait(d)
        return d, got

    d, got = run_async(main)
    assert seqs(got.messages) == list(range(chunk)) * rounds
    if variable:
        lengths = [_testing.message_length(s, 16, 100) for s in range(chunk)]
        assert [len(m) for m in got.messages] == lengths * rounds
    assert all(type(m) is bytes for m in got.messages)
    assert not got.overlapped
    q = _testing.ring_of(d)
    assert (q.stats()["stored"], len(q)) == (chunk * rounds, 0)


def test_pushes_before_setup_are_delivered(run_async):
    got = Receiver()
    d = AsyncDispatcher(got, capacity=64, slot_size=64)
    assert _testing.start(d, 40).join(TIMEOUT)
    assert len(_testing.ring_of(d)) == 40

    async def main():
        d.setup()
        await got.wait_for(40)
        await close_and_wait(d)

    run_async(main)
    assert seqs(got.messages) == list(range(40))


def returns_none(msg):
    return None


async def raises(msg):
    raise ValueError(msg)


@pytest.mark.parametrize("callback, exc, message", [
    (returns_none, TypeError, "object NoneType can't be used in 'await' expression"),
    (raises, ValueError, "b'first'"),
])
def test_callback_failure_ends_the_task(run_async, callback, exc, message):
    calls = []

    def recording(msg):
        calls.append(msg)
        return callback(msg)

    async def main():
        d = AsyncDispatcher(recording, capacity=8, slot_size=64)
        push = push_entry(d, "push")
        push(b"first")
        push(b"second")
        d.setup()
        task = field(d, "_task")
        await ended(task)
        assert type(task.exception()) is exc and str(task.exception()) == message
        # Nothing restarts the reader: the next message stays in the ring
        # (with the failed one, which the ring holds until the next take).
        assert calls == [b"first"]
        assert len(_testing.ring_of(d)) == 2
        d.close()

    run_async(main)


def test_instance_reader_is_the_task_body(run_async):
    ran = []

    class Sub(AsyncDispatcher):
        async def _reader(self, loop, sock):
            ran.append((loop, sock))

    async def main():
        d = Sub(print)
        d.setup()
        await field(d, "_task")
        assert ran == [(asyncio.get_running_loop(), field(d, "_sock"))]
        d.close()

    run_async(main)


# ------------------------------------------------------------ close


class LoopProxy:
    """A task's loop as close sees it: records what it schedules."""

    def __init__(self, loop, scheduled):
        self.loop = loop
        self.scheduled = scheduled

    def call_soon_threadsafe(self, callback, *args, **kwargs):
        self.scheduled.append(callback)
        return self.loop.call_soon_threadsafe(callback, *args, **kwargs)

    def __getattr__(self, name):
        return getattr(self.loop, name)


def test_close_from_another_thread_cancels_on_the_loop_thread(run_async):
    cancels, scheduled = [], []

    class Task(asyncio.Task):
        def cancel(self, *args, **kwargs):
            cancels.append(threading.current_thread())
            return super().cancel(*args, **kwargs)

        def get_loop(self):
            return LoopProxy(super().get_loop(), scheduled)

    async def main():
        got = Receiver()
        d = AsyncDispatcher(got)
        loop = asyncio.get_running_loop()
        loop.set_task_factory(lambda loop, coro, **kw: Task(coro, loop=loop, **kw))
        try:
            d.setup()
        finally:
            loop.set_task_factory(None)
        task, sock = field(d, "_task"), field(d, "_sock")
        assert type(task) is Task
        push_entry(d, "push")(b"one")
        await got.wait_for(1)
        await waiting(task, got)

        closer = threading.Thread(target=d.close)
        closer.start()
        closer.join(TIMEOUT)  # holds the loop: only close's own thread runs
        assert not closer.is_alive()
        assert (field(d, "_task"), field(d, "_sock"), view(d)._fd) == (None, None, NO_SOCKET)
        assert cancels == [] and not task.done()
        finalize, = scheduled
        assert finalize.__name__ == "_finalize"
        assert finalize.__qualname__ == "close.<locals>._finalize"

        await ended(task)
        # _finalize ran here and cancelled the pending receive.
        assert task.cancelled() and cancels == [threading.current_thread()]
        # (uvloop defers the socket's real close until it stops watching it.)
        assert sock.fileno() == -1

    run_async(main)


@pytest.fixture
def loop_thread(loop_kind):
    """A loop of the parametrized kind running in a thread of its own."""
    from conftest import new_loop
    loop = new_loop(loop_kind)
    thread = threading.Thread(target=loop.run_forever)
    thread.start()
    yield loop
    loop.call_soon_threadsafe(loop.stop)
    thread.join(TIMEOUT)
    assert not thread.is_alive()
    loop.close()


def test_close_from_another_thread_while_pushing_ends_cancelled(loop_thread):
    """The socket is closed on the loop's thread once the reader is gone:
    the reader never receives on a socket closed under it (which ended it
    with EBADF, or with someone else's descriptor)."""

    def on_loop(coro):
        return asyncio.run_coroutine_threadsafe(coro, loop_thread).result(TIMEOUT)

    async def make():
        d = AsyncDispatcher(Receiver(), capacity=64, slot_size=64)
        d.setup()
        return d, field(d, "_task"), field(d, "_sock")

    for _ in range(40):
        d, task, sock = on_loop(make())
        producer = _testing.start(d, 10**9)
        try:
            threading.Event().wait(0.002)
            d.close()
        finally:
            producer.cancel()
            assert producer.join(TIMEOUT)
        on_loop(ended(task))
        assert task.cancelled(), task.exception()
        on_loop(asyncio.sleep(0))
        assert sock.fileno() == -1


def test_close_retracts_the_wake_target_before_closing_the_socket(run_async, monkeypatch):
    seen = []

    class Watched(socket.socket):
        def close(self):
            seen.append(view(d)._fd)
            super().close()

    d = AsyncDispatcher(Receiver())

    async def main():
        with monkeypatch.context() as m:
            m.setattr(socket, "socket", Watched)
            d.setup()
        task, sock = field(d, "_task"), field(d, "_sock")
        assert type(sock) is Watched and not sock.getblocking()
        assert (view(d)._fd, wake_address(d)) == (sock.fileno(), sock.getsockname())
        d.close()
        # The socket is closed on the loop's thread once the reader is gone.
        assert seen == [] and field(d, "_sock") is None
        await ended_after_close(task)
        await asyncio.sleep(0)
        assert seen == [NO_SOCKET] and sock.fileno() == -1

    run_async(main)
    # A late push only stores.
    push_entry(d, "push")(b"late")
    assert len(_testing.ring_of(d)) == 1


def test_close_before_setup_and_twice(run_async):
    got = Receiver()
    d = AsyncDispatcher(got)
    assert d.close() is None
    assert (field(d, "_sock"), field(d, "_task"), view(d)._fd) == (None, None, NO_SOCKET)

    async def main():
        d.setup()
        push_entry(d, "push")(b"after")
        await got.wait_for(1)
        task, sock = field(d, "_task"), field(d, "_sock")
        assert d.close() is None
        assert d.close() is None
        assert (field(d, "_sock"), field(d, "_task"), view(d)._fd) == (None, None, NO_SOCKET)
        await ended_after_close(task)
        assert sock.fileno() == -1

    run_async(main)
    assert got.messages == [b"after"]


def test_close_after_the_loop_closed_closes_the_socket_itself(run_async):
    """A closed loop never runs the reader again: close has nothing to
    schedule there and closes the socket at once, without an error (it may
    be the finalizer at exit, after the loop's own)."""
    d = AsyncDispatcher(print)

    async def main():
        d.setup()
        return field(d, "_task")

    task = run_async(main)  # returns once the loop is closed
    sock = field(d, "_sock")
    assert d.close() is None
    assert (field(d, "_task"), field(d, "_sock"), view(d)._fd) == (None, None, NO_SOCKET)
    assert sock.fileno() == -1
    # Nobody is told that the task it asked to end was destroyed unfinished.
    assert task._log_destroy_pending is False and not task.done()
    assert d.close() is None


def test_running_reader_keeps_its_dispatcher_alive(run_async):
    class Owned(AsyncDispatcher):
        pass

    async def main():
        got = Receiver()
        d = Owned(got)
        d.setup()
        task = field(d, "_task")
        push = push_entry(d, "push")
        ref = weakref.ref(d)
        del d
        gc.collect()
        assert ref() is not None
        push(b"still here")
        assert await got.wait_for(1) == [b"still here"]
        ref().close()
        await ended_after_close(task)
        del task
        gc.collect()
        assert ref() is None

    run_async(main)


# ------------------------------------------------------------ setup


def test_setup_outside_a_running_loop_creates_no_socket(monkeypatch):
    made = []
    monkeypatch.setattr(socket, "socket", lambda *args: made.append(args))
    d = AsyncDispatcher(print)
    with pytest.raises(RuntimeError, match="no running event loop"):
        d.setup()
    assert made == []
    assert (field(d, "_sock"), field(d, "_task"), view(d)._fd) == (None, None, NO_SOCKET)


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
def test_setup_argument_errors_keep_nothing(run_async, args, kwargs, expected):
    want = bind_error(args[0]) if expected == "bind" else expected
    got = Receiver()
    d = AsyncDispatcher(got)

    async def main():
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            with pytest.raises(Exception) as info:
                d.setup(*args, **kwargs)
            gc.collect()
        assert (info.type, str(info.value)) == want
        assert [w for w in caught if issubclass(w.category, ResourceWarning)] == []
        assert (field(d, "_sock"), field(d, "_task"), view(d)._fd) == (None, None, NO_SOCKET)
        # Nothing was kept, so a correct setup still works.
        d.setup("127.0.0.1")
        push_entry(d, "push")(b"ok")
        await got.wait_for(1)
        await close_and_wait(d)

    run_async(main)


def test_second_setup_is_refused_until_close(run_async):
    got = Receiver()
    d = AsyncDispatcher(got)

    async def main():
        d.setup()
        task, sock = field(d, "_task"), field(d, "_sock")
        with pytest.raises(RuntimeError,
                           match="^AsyncDispatcher.setup: this dispatcher is already set up$"):
            d.setup()
        assert (field(d, "_task"), field(d, "_sock")) == (task, sock)
        push = push_entry(d, "push")
        push(b"first")
        await got.wait_for(1)
        await close_and_wait(d)
        # A closed dispatcher may be set up afresh.
        d.setup()
        assert field(d, "_task") is not task
        push(b"second")
        await got.wait_for(2)
        await close_and_wait(d)

    run_async(main)
    assert got.messages == [b"first", b"second"]


# ------------------------------------------------------------ stress


@pytest.mark.stress
@pytest.mark.parametrize("variable", [False, True])
def test_a_million_messages(run_async, variable):
    total, chunk = 1_000_000, 1000
    sizes = dict(min_size=16, max_size=512) if variable else dict(size=128)
    state = {"next": 0, "bad": 0, "count": 0}

    async def check(msg):
        seq = _testing.decode(msg)[0]
        state["bad"] += seq != state["next"]
        state["next"] = (seq + 1) % chunk
        state["count"] += 1

    async def main():
        # 4096 slots of 128 bytes hold a whole producer run in either format.
        d = AsyncDispatcher(check, capacity=4096, slot_size=128, variable_size=variable)
        d.setup()
        try:
            for n in range(1, total // chunk + 1):
                producer = _testing.start(d, chunk, **sizes)
                while state["count"] < n * chunk:
                    await asyncio.sleep(0.0005)
                assert producer.join(TIMEOUT)
        finally:
            await close_and_wait(d)

    run_async(main, timeout=900)
    assert (state["count"], state["bad"]) == (total, 0)


@pytest.mark.parametrize("queued", [0, 3])
def test_close_before_the_reader_runs_ends_it_cancelled(run_async, queued):
    # The task has not started (or has wake datagrams still queued) when
    # close runs: it must not go on to wait on the closed socket.
    got = Receiver()
    d = AsyncDispatcher(got)

    async def main():
        d.setup()
        for i in range(queued):
            push_entry(d, "push")(b"%d" % i)
        task = field(d, "_task")
        d.close()
        await ended_after_close(task)

    run_async(main)
    # The cancellation lands at the reader's next await: a prefix arrives.
    assert got.messages == [b"%d" % i for i in range(queued)][: len(got.messages)]
