"""The coroutine objects of the module's async methods, driven by hand.

A fake condition (see fake_condition.py) stands in for asyncio's, so every
suspension point is explicit and no event loop runs."""

import asyncio
import collections.abc
import gc
import pickle
import sys
import warnings
import weakref

import pytest

from fake_condition import FakeCondition, queue_with, run
from vestrel.utils.corvane.corvane import AsyncQueue


@pytest.fixture
def cond():
    return FakeCondition()


@pytest.fixture
def q(cond):
    return queue_with(cond)


def suspended_pop(q):
    c = q.pop()
    assert c.send(None) == "waiting"
    return c


@pytest.mark.parametrize(
    "attr, name",
    [
        ("push_buf", "push_buf"),
        ("push_obj", "push_obj"),
        ("push_str", "push_str"),
        ("pop", "pop"),
        ("shutdown", "shutdown"),
        ("_AsyncQueue__dispatch", "__dispatch"),
    ],
)
def test_coroutine_names_code_and_registration(q, attr, name):
    fn = getattr(AsyncQueue, attr)
    args = (b"x",) if attr.startswith("push") else ()
    c = getattr(q, attr)(*args)
    assert (c.__name__, c.__qualname__) == (name, "AsyncQueue." + name)
    assert c.cr_code is fn.__code__
    assert (c.cr_running, c.cr_await, c.cr_frame) == (False, None, None)
    assert isinstance(c, collections.abc.Coroutine)
    assert asyncio.iscoroutine(c)
    with pytest.raises(TypeError):
        pickle.dumps(c)
    c.close()


def test_names_are_settable_strings(q):
    c = q.pop()
    c.__name__, c.__qualname__ = "a", "b.a"
    assert (c.__name__, c.__qualname__) == ("a", "b.a")
    with pytest.raises(TypeError):
        c.__name__ = 1
    c.close()


def test_fast_path_finishes_on_first_send_and_cannot_be_reused(q, cond):
    c = q.push_buf(b"abc")
    with pytest.raises(StopIteration) as stop:
        c.send(None)
    assert stop.value.value is None
    assert cond.log == [("enter",), ("notify",), ("exit", None)]
    assert run(q.pop()) == b"abc"
    for poke in (lambda: c.send(None), lambda: c.throw(ValueError)):
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            poke()
    assert c.close() is None


def test_just_started_coroutine_takes_only_none(q):
    c = q.pop()
    with pytest.raises(TypeError, match="can't send non-None value to a just-started coroutine"):
        c.send(1)
    assert c.send(None) == "waiting"  # still usable
    c.close()


def test_values_pass_down_and_up_through_the_delegate(q, cond):
    c = suspended_pop(q)
    assert c.cr_await is not None and not c.cr_running
    assert c.send("ping") == "waiting"  # woken, found nothing, waits again
    assert ("wait", "sent", "ping") in cond.log
    run(q.push_buf(b"m"))
    with pytest.raises(StopIteration) as stop:
        c.send(None)
    assert stop.value.value == b"m"
    assert c.cr_await is None


def test_await_iterator_drives_the_same_coroutine(q):
    c = q.pop()
    it = c.__await__()
    assert iter(it) is it
    assert next(it) == "waiting"
    assert it.send(None) == "waiting"
    run(q.push_buf(b"z"))
    with pytest.raises(StopIteration) as stop:
        next(it)
    assert stop.value.value == b"z"
    with pytest.raises(RuntimeError, match="cannot reuse"):
        next(it)


def test_throw_goes_down_and_the_exit_sees_it(q, cond):
    c = suspended_pop(q)
    with pytest.raises(ValueError, match="boom"):
        c.throw(ValueError("boom"))
    assert ("wait", "thrown", "ValueError") in cond.log
    assert cond.log[-1] == ("exit", "ValueError")
    with pytest.raises(RuntimeError, match="cannot reuse"):
        c.send(None)


def test_exception_swallowed_by_the_delegate_resumes_the_body(q, cond):
    c = suspended_pop(q)
    assert c.throw(KeyError("k")) == "waiting"  # the fake wait returns; pop waits again
    c.close()


def test_exit_that_suppresses_lets_the_body_go_on():
    cond = FakeCondition(suppress=True)
    q = queue_with(cond)
    c = suspended_pop(q)
    assert c.throw(ValueError("x")) == "waiting"
    assert ("exit", "ValueError") in cond.log
    run(q.push_buf(b"m"))
    with pytest.raises(StopIteration):  # (close would be suppressed too)
        c.send(None)


@pytest.mark.parametrize(
    "args, error, match",
    [
        ((1,), TypeError, "exceptions must be classes or instances deriving from BaseException"),
        ((ValueError("a"), "b"), TypeError, "instance exception may not have a separate value"),
        ((ValueError, None, 1), TypeError, "third argument must be a traceback object"),
        ((ValueError,), ValueError, "^$"),
        ((ValueError("v"),), ValueError, "v"),
    ],
)
def test_throw_arguments(q, args, error, match):
    c = suspended_pop(q)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # 3.12+ on the 3-argument form
        with pytest.raises(error, match=match):
            c.throw(*args)
    c.close()


@pytest.mark.skipif(sys.version_info < (3, 12), reason="deprecated from 3.12")
def test_three_argument_throw_warns_like_native_coroutines(q):
    c = suspended_pop(q)
    with pytest.warns(DeprecationWarning, match="signature of throw"):
        with pytest.raises(ValueError):
            c.throw(ValueError, ValueError("v"), None)


def test_throw_into_unstarted_coroutine_never_runs_the_body(q, cond):
    c = q.push_buf(b"never")
    with pytest.raises(ValueError):
        c.throw(ValueError("early"))
    assert cond.log == []
    assert run(q.push_buf(b"after")) is None
    assert run(q.pop()) == b"after"  # the first message was never stored
    with pytest.raises(RuntimeError, match="cannot reuse"):
        c.send(None)


def test_close_closes_the_delegate_then_the_body(q, cond):
    c = suspended_pop(q)
    assert c.close() is None
    assert ("wait", "thrown", "GeneratorExit") in cond.log
    assert cond.log[-1] == ("exit", "GeneratorExit")
    assert c.close() is None
    with pytest.raises(RuntimeError, match="cannot reuse"):
        c.send(None)


def test_close_of_unstarted_coroutine_runs_nothing_and_does_not_warn(q, cond):
    c = q.pop()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert c.close() is None
        del c
        gc.collect()
    assert cond.log == []


def test_body_that_yields_on_generator_exit_is_reported():
    cond = FakeCondition(exit_yields=("again",))
    q = queue_with(cond)
    c = suspended_pop(q)
    with pytest.raises(RuntimeError, match="coroutine ignored GeneratorExit"):
        c.close()


def test_reentry_raises_already_executing(cond):
    q = queue_with(cond)
    seen = []

    def callback(msg):
        coro = q.__reduce__()[2][5]  # the dispatch coroutine, stored as the task
        seen.append(coro.cr_running)
        for poke in (lambda: coro.send(None), coro.close, lambda: coro.throw(KeyError)):
            try:
                poke()
            except ValueError as e:
                seen.append(str(e))
        return FakeCondition().wait()

    q.start_dispatcher(callback)
    d = q.__reduce__()[2][5]
    run(q.push_buf(b"m"))
    assert d.send(None) == "waiting"  # suspended in the callback's awaitable
    assert seen == [True] + ["coroutine already executing"] * 3
    d.close()


def test_stop_iteration_leaving_the_body_becomes_runtime_error(cond):
    q = queue_with(cond)

    def callback(msg):
        raise StopIteration("leak")

    q.start_dispatcher(callback)
    d = q.__reduce__()[2][5]
    run(q.push_buf(b"m"))
    with pytest.raises(RuntimeError, match="coroutine raised StopIteration") as info:
        d.send(None)
    assert isinstance(info.value.__cause__, StopIteration)
    tb = info.traceback
    assert any("AsyncQueue.__dispatch" in str(entry.name) for entry in tb) or any(
        "__dispatch" in e.frame.code.name for e in tb
    )


def test_non_awaitable_callback_result_is_a_type_error(cond):
    q = queue_with(cond)
    q.start_dispatcher(lambda msg: None)
    d = q.__reduce__()[2][5]
    run(q.push_buf(b"m"))
    with pytest.raises(TypeError, match="object NoneType can't be used in 'await' expression"):
        d.send(None)


def test_never_awaited_coroutine_warns_with_its_qualified_name(q):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        c = q.pop()
        del c
        gc.collect()
    messages = [str(w.message) for w in caught if w.category is RuntimeWarning]
    assert messages == ["coroutine 'AsyncQueue.pop' was never awaited"]


def test_collected_while_suspended_runs_close(cond):
    q = queue_with(cond)
    c = suspended_pop(q)
    del c
    gc.collect()
    assert ("wait", "thrown", "GeneratorExit") in cond.log
    assert cond.log[-1] == ("exit", "GeneratorExit")


def test_cycle_through_the_queue_is_collected(cond):
    class Q(AsyncQueue):
        pass

    q = queue_with(cond, cls=Q)
    q.start_dispatcher(lambda m: None)  # task (the coroutine) -> queue -> task
    assert q.__reduce__()[2][5].send(None) == "waiting"
    alive = weakref.ref(q)
    del q
    gc.collect()
    assert alive() is None
    assert cond.log[-1] == ("exit", "GeneratorExit")  # closed on the way out


def test_cycle_through_the_awaited_object_is_collected():
    holder = []

    class Cond(FakeCondition):
        def wait(self):
            step = super().wait()
            step.owner = holder[0]  # awaited object -> coroutine -> awaited object
            holder.append(weakref.ref(step))
            return step

    q = queue_with(Cond())
    holder.append(q.pop())
    assert holder[0].send(None) == "waiting"
    step = holder.pop()
    del holder[0]
    gc.collect()
    assert step() is None


# ------------------------------------------------------------ driven by a loop


def test_driven_by_a_task_and_by_an_await(run_async):
    # A task drives the coroutine through send/am_send and throw; an await in
    # Python code goes through __await__'s iterator. Both must agree.
    async def body():
        q = AsyncQueue()
        direct = asyncio.ensure_future(q.pop())

        async def awaiting():
            return await q.pop()

        nested = asyncio.ensure_future(awaiting())
        await asyncio.sleep(0)
        await q.push_buf(b"1")
        await q.push_buf(b"2")
        got = sorted(await asyncio.gather(direct, nested))
        lost = [asyncio.ensure_future(q.pop()), asyncio.ensure_future(awaiting())]
        await asyncio.sleep(0)
        for t in lost:
            t.cancel()
        results = await asyncio.gather(*lost, return_exceptions=True)
        assert all(isinstance(r, asyncio.CancelledError) for r in results)
        return got

    assert run_async(body) == [b"1", b"2"]


def test_many_timeouts_leave_the_queue_usable(run_async):
    async def body():
        q = AsyncQueue()
        for _ in range(100):
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(q.pop(), 0.0005)
        await q.push_str("ok")
        return await asyncio.wait_for(q.pop(), 5)

    assert run_async(body) == b"ok"


def test_gather_of_a_thousand(run_async):
    async def body():
        q = AsyncQueue(None, 8, 1024)
        pops = [q.pop() for _ in range(1000)]
        pushes = [q.push_buf(b"%d" % i) for i in range(1000)]
        got = await asyncio.gather(*pops, *pushes)
        return sorted(got[:1000], key=int), got[1000:]

    got, pushed = run_async(body)
    assert got == [b"%d" % i for i in range(1000)] and pushed == [None] * 1000


@pytest.mark.parametrize("keep, look, expected", [
    ("exception", lambda e: (e.value, e.args, e.__traceback__ is not None),
     (b"first", (b"first",), True)),
    ("args", lambda args: args, (b"first",)),  # the exception itself is dropped
])
def test_a_stop_iteration_someone_keeps_never_changes(run_async, keep, look, expected):
    # An await takes the finished value out of a StopIteration; one that is
    # still referenced elsewhere, or whose args are, must not change under
    # its holder when later awaits finish.
    async def body():
        q = AsyncQueue()
        await q.push_buf(b"first")
        it = q.pop().__await__()
        try:
            next(it)
        except StopIteration as e:
            kept = e if keep == "exception" else e.args
        else:
            raise AssertionError("pop of a stored message suspended")
        for m in (b"a", b"b", b"c"):
            await q.push_buf(m)
            assert await q.pop() == m
        return look(kept)

    assert run_async(body) == expected

