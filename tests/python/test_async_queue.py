"""AsyncQueue on a running loop (stdlib and uvloop): pushes, pop, the
wake-up handshake, cancellation, the dispatcher task and shutdown."""

import asyncio
import ctypes

import pytest

from corvane_layout import field, vtable
from fake_condition import FakeCondition, queue_with
from vestrel.utils.corvane.corvane import AsyncQueue


async def settle(rounds=5):
    for _ in range(rounds):
        await asyncio.sleep(0)


@pytest.mark.parametrize(
    "method, msg, expected",
    [
        ("push_buf", b"abc", b"abc"),
        ("push_buf", bytearray(b"\x00\xff"), b"\x00\xff"),
        ("push_buf", memoryview(b"xyz")[1:], b"yz"),
        ("push_buf", b"", b""),
        ("push_obj", b"obj", b"obj"),
        ("push_obj", "h\u00e9", "h\u00e9".encode()),
        ("push_obj", bytearray(b"ba"), b"ba"),
        ("push_str", "str\u2603", "str\u2603".encode()),
        ("push_str", "", b""),
    ],
)
def test_push_then_pop_round_trip(run_async, method, msg, expected):
    async def body():
        q = AsyncQueue()
        assert await getattr(q, method)(msg) is None
        got = await q.pop()
        assert type(got) is bytes
        return got

    assert run_async(body) == expected


def test_messages_keep_their_order_across_wraps(run_async):
    async def body():
        q = AsyncQueue(None, 16, 4)
        got = []
        for i in range(50):
            await q.push_buf(b"%d" % i)
            if i % 3 == 2:
                while len(got) <= i:
                    got.append(await q.pop())
        while len(got) < 50:
            got.append(await q.pop())
        return got

    assert run_async(body) == [b"%d" % i for i in range(50)]


def test_pop_waits_for_a_later_push(run_async):
    async def body():
        q = AsyncQueue()
        waiter = asyncio.ensure_future(q.pop())
        await settle()
        assert not waiter.done()
        await q.push_buf(b"late")
        return await waiter

    assert run_async(body) == b"late"


def test_one_push_wakes_exactly_one_of_two_waiting_pops(run_async):
    async def body():
        q = AsyncQueue()
        pops = [asyncio.ensure_future(q.pop()) for _ in range(2)]
        await settle()
        await q.push_buf(b"one")
        await settle(20)
        done = [p for p in pops if p.done()]
        assert [p.result() for p in done] == [b"one"]
        await q.push_buf(b"two")
        results = await asyncio.gather(*pops)
        return sorted(results)

    assert run_async(body) == [b"one", b"two"]


def test_refused_push_wakes_nobody(run_async):
    async def body():
        q = AsyncQueue(None, 8, 4)
        waiter = asyncio.ensure_future(q.pop())
        await settle()
        assert await q.push_buf(b"x" * 100) is None  # longer than a slot: refused
        await settle(20)
        assert not waiter.done()
        await q.push_buf(b"fits")
        return await waiter

    assert run_async(body) == b"fits"


def test_full_ring_drops_the_push_silently(run_async):
    async def body():
        q = AsyncQueue(None, 8, 2)
        for m in (b"a", b"b", b"c"):
            assert await q.push_buf(m) is None
        return [await q.pop(), await q.pop()]

    assert run_async(body) == [b"a", b"b"]


@pytest.mark.parametrize("method, msg", [("push_obj", None), ("push_buf", 5), ("push_str", b"no")])
def test_declined_or_rejected_message_leaves_the_ring_empty(run_async, method, msg):
    async def body():
        q = AsyncQueue()
        try:
            await getattr(q, method)(msg)
        except TypeError:
            assert method != "push_obj"
        else:
            assert method == "push_obj"  # None is declined quietly
        await q.push_buf(b"next")
        return await q.pop()

    assert run_async(body) == b"next"


def test_push_buf_releases_its_view_whatever_happens(run_async):
    async def body():
        q = AsyncQueue()
        lock = field(q, "_lock")
        data = bytearray(b"abc")
        await q.push_buf(data)
        data.extend(b"d")  # would raise BufferError if the view were still held
        await lock.acquire()  # the next push suspends in its wake-up
        push = asyncio.ensure_future(q.push_buf(data))
        await settle()
        assert not push.done()
        push.cancel()
        with pytest.raises(asyncio.CancelledError):
            await push
        lock.release()
        data.extend(b"e")
        # The cancelled push had already stored its message.
        return [await q.pop(), await q.pop()]

    assert run_async(body) == [b"abc", b"abcd"]


def test_cancelled_pop_leaves_lock_free_and_ring_untouched(run_async):
    async def body():
        q = AsyncQueue()
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(q.pop(), 0.05)
        assert not field(q, "_lock").locked()
        await q.push_buf(b"kept")
        return await q.pop()

    assert run_async(body) == b"kept"


def test_condition_of_another_type_gets_the_full_handshake(run_async):
    # An uncontended wake-up on asyncio's own condition may be skipped (it
    # would change nothing); any other condition sees every step.
    async def body():
        log = []

        class Cond(asyncio.Condition):
            async def __aenter__(self):
                log.append("enter")
                return await super().__aenter__()

            def notify(self, n=1):
                log.append("notify")
                super().notify(n)

        q = AsyncQueue()
        state = list(q.__reduce__()[2])
        state[3] = Cond(state[1])
        q.__setstate__(tuple(state))
        await q.push_buf(b"a")
        await q.push_str("b")
        await q.push_obj(b"c")
        assert log == ["enter", "notify"] * 3
        return [await q.pop() for _ in range(3)]

    assert run_async(body) == [b"a", b"b", b"c"]


def test_unawaited_push_changes_nothing(run_async):
    async def body():
        q = AsyncQueue()
        q.push_buf(b"never").close()
        await q.push_buf(b"real")
        return await q.pop()

    assert run_async(body) == b"real"


def test_many_tasks_through_one_queue(run_async):
    async def body():
        q = AsyncQueue(None, 8, 256)  # room for all: the pushes never yield
        consumers = [asyncio.ensure_future(q.pop()) for _ in range(200)]
        await settle()
        for i in range(200):
            await q.push_buf(b"%03d" % i)
        got = await asyncio.gather(*consumers)
        return sorted(got)

    assert run_async(body) == [b"%03d" % i for i in range(200)]


# ------------------------------------------------------------ dispatcher and shutdown


def test_dispatcher_delivers_in_order_one_at_a_time(run_async):
    async def body():
        q = AsyncQueue(None, 16, 8)
        got, active = [], []

        async def cb(msg):
            assert not active, "callback re-entered"
            active.append(msg)
            await asyncio.sleep(0)
            got.append(msg)
            active.pop()

        assert q.start_dispatcher(cb) is None
        for i in range(100):
            await q.push_buf(b"%d" % i)
            if i % 5 == 0:
                await settle()
        while len(got) < 100:
            await asyncio.sleep(0.001)
        await q.shutdown()
        return got

    assert run_async(body) == [b"%d" % i for i in range(100)]


def test_plain_function_callback_fails_the_task_and_shutdown_reraises(run_async):
    async def body():
        q = AsyncQueue()
        seen = []
        q.start_dispatcher(seen.append)
        await q.push_buf(b"m")
        task = field(q, "_task")
        await asyncio.wait({task})
        with pytest.raises(TypeError, match="object NoneType can't be used in 'await' expression"):
            task.result()
        with pytest.raises(TypeError, match="can't be used in 'await' expression"):
            await q.shutdown()
        return seen

    assert run_async(body) == [b"m"]


def test_shutdown_cancels_only_the_latest_dispatcher(run_async):
    async def body():
        q = AsyncQueue()
        first_got, second_got = [], []

        async def first(m):
            first_got.append(m)

        async def second(m):
            second_got.append(m)

        q.start_dispatcher(first)
        t1 = field(q, "_task")
        q.start_dispatcher(second)
        t2 = field(q, "_task")
        await settle()
        for i in range(4):
            await q.push_buf(b"%d" % i)
        await settle(20)
        assert await q.shutdown() is None
        assert t2.cancelled() and not t1.done()
        assert first_got == []  # both read the callback afresh
        assert sorted(second_got) == [b"0", b"1", b"2", b"3"]
        t1.cancel()
        await asyncio.wait({t1})

    run_async(body)


@pytest.mark.parametrize("args", [(), (ValueError, ValueError("x"), None)])
def test_shutdown_without_dispatcher_and_twice(run_async, args):
    async def body():
        q = AsyncQueue()
        assert await q.shutdown(*args) is None
        q.start_dispatcher(lambda m: asyncio.sleep(0))
        await settle()
        assert await q.shutdown(*args) is None
        assert await q.shutdown() is None  # cancels a finished task: CancelledError dropped
        await q.push_str("still works")
        return await q.pop()

    assert run_async(body) == b"still works"


def test_shutdown_wakes_waiting_pops_which_wait_again(run_async):
    async def body():
        q = AsyncQueue()
        pops = [asyncio.ensure_future(q.pop()) for _ in range(3)]
        await settle()
        await q.shutdown()
        await settle(20)
        assert not any(p.done() for p in pops)
        for i in range(3):
            await q.push_buf(b"%d" % i)
        return sorted(await asyncio.gather(*pops))

    assert run_async(body) == [b"0", b"1", b"2"]


@pytest.mark.parametrize(
    "call",
    [
        lambda q: q.push_buf(b"x"),
        lambda q: q.push_obj(b"x"),
        lambda q: q.push_str("x"),
        lambda q: q.pop(),
        lambda q: q._AsyncQueue__dispatch(),
    ],
)
def test_queue_without_ring_refuses_cleanly(run_async, call):
    async def body():
        q = AsyncQueue.__new__(AsyncQueue)
        with pytest.raises(RuntimeError, match="AsyncQueue has no ring"):
            await call(q)

    run_async(body)


def test_start_dispatcher_override_through_the_table():
    calls = []

    class Sub(AsyncQueue):
        def start_dispatcher(self, callback):
            calls.append(callback)
            return "overridden"

    entry = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_int)(
        vtable(AsyncQueue)[0]
    )
    q = queue_with(FakeCondition(), cls=Sub)
    assert entry(q, print, 0) == "overridden" and calls == [print]
    assert entry(q, print, 1) is None and calls == [print]  # the entry's own body
    assert field(q, "_callback") is print
    field(q, "_task").close()  # the fake loop handed the dispatch coroutine back
