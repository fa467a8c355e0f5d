"""ThreadedDispatcher end to end, fed by the native producer of vestrel._testing.
What it does like the other dispatchers is tested in test_dispatcher_reader."""

import gc
import sys
import textwrap
import time

import pytest

from vestrel import _testing
from vestrel.utils.corvane.corvane import ThreadedDispatcher
from wake_helpers import seqs

TIMEOUT = 30
READER = "vestrel.utils.corvane.corvane.ThreadedDispatcher._reader"


def wait_until(predicate, timeout=TIMEOUT):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("timed out")
        time.sleep(0.002)


@pytest.fixture
def make():
    """Builds dispatchers and closes them all at the end of the test."""
    made = []

    def build(*args, **kwargs):
        d = ThreadedDispatcher(*args, **kwargs)
        made.append(d)
        return d

    yield build
    for d in made:
        d.close()


def run(producer):
    assert producer.join(TIMEOUT)
    return producer


# ------------------------------------------------------------ delivery


@pytest.mark.parametrize("variable, count, sizes", [
    (False, 5000, dict(size=64)),
    (True, 3000, dict(min_size=16, max_size=300)),
])
@pytest.mark.parametrize("via", ["table", "push_fn"])
def test_every_message_once_intact_in_order(make, variable, count, sizes, via):
    got = []
    # A ring of 16 slots wraps hundreds of times.
    d = make(got.append, capacity=16, slot_size=64, variable_size=variable)
    d.setup()
    p = run(_testing.start(d, count, retry=True, via=via, **sizes))
    assert (p.pushed, p.refused) == (count, 0)
    wait_until(lambda: len(got) == count)
    assert seqs(got) == list(range(count))
    if variable:
        assert [len(m) for m in got] == [_testing.message_length(s, 16, 300) for s in range(count)]
    else:
        assert {len(m) for m in got} == {64}
    q = _testing.ring_of(d)
    wait_until(lambda: len(q) == 0)
    assert q.stats()["stored"] == count
    if not variable:
        assert q.stats()["freed"] == count  # one release per delivered message
    assert q.mode == ("variable" if variable else "fixed")


def test_push_returns_the_ring_result(make):
    d = make(print, capacity=8, slot_size=64)
    p = run(_testing.start(d, 20))  # no reader, no retry: a full ring refuses
    assert (p.pushed, p.refused) == (8, 12)
    d.close()
    p = run(_testing.start(d, 5))  # a stopped ring refuses and the producer gives up
    assert (p.pushed, p.refused) == (0, 1)


def test_release_once_per_delivered_message(make):
    seen = []
    d = make(lambda m: seen.append(len(q)), capacity=64, slot_size=64)
    q = _testing.ring_of(d)
    run(_testing.start(d, 10))
    d.setup()
    wait_until(lambda: len(seen) == 10)
    # While a message is delivered it is still held in the ring.
    assert seen == list(range(10, 0, -1))
    wait_until(lambda: q.stats()["freed"] == 10)
    assert len(q) == 0


# ------------------------------------------------------------ reader failure


@pytest.mark.parametrize("variable", [False, True])
def test_callback_failure_ends_the_reader(make, unraisable, capfd, variable):
    got = []

    def callback(m):
        if _testing.decode(m)[0] == 3:
            raise ValueError("boom")
        got.append(m)

    d = make(callback, capacity=64, slot_size=64, variable_size=variable)
    q = _testing.ring_of(d)
    run(_testing.start(d, 10))
    d.setup()
    assert unraisable.wait()
    time.sleep(0.05)
    name = READER + ("_var" if variable else "")
    assert [(u.object, u.exc_type, str(u.exc_value)) for u in unraisable] == [
        (name, ValueError, "boom")]
    assert seqs(got) == [0, 1, 2]
    if not variable:
        # The failed message stays held: three freed, seven left.
        assert (q.stats()["freed"], len(q)) == (3, 7)
    err = capfd.readouterr().err
    assert "Traceback" in err and "ValueError: boom" in err

    # A fresh reader goes on past the failed message.
    d.setup()
    wait_until(lambda: len(got) == 9)
    assert seqs(got) == [0, 1, 2, 4, 5, 6, 7, 8, 9]


def test_non_callable_callback_is_reported(make, unraisable):
    d = make(None)
    run(_testing.start(d, 2))
    d.setup()
    assert unraisable.wait()
    assert (unraisable[0].object, unraisable[0].exc_type) == (READER, TypeError)


# ------------------------------------------------------------ setup and close


def test_close_before_setup_and_twice(make):
    d = make(print)
    q = _testing.ring_of(d)
    assert d.close() is None
    assert d.close() is None
    assert q.stopped


def test_setup_after_close_drains_then_ends(make):
    got = []
    d = make(got.append)
    run(_testing.start(d, 5))
    d.close()
    d.setup()
    wait_until(lambda: len(got) == 5)
    # The reader has ended, so another setup is allowed and ends at once too.
    wait_until(lambda: _try_setup(d))


def _try_setup(d):
    try:
        d.setup()
    except RuntimeError:
        return False
    return True


def test_close_inside_the_callback(make):
    got = []

    def callback(m):
        got.append(m)
        if len(got) == 1:
            assert d.close() is None

    d = make(callback)
    run(_testing.start(d, 5))
    d.setup()
    # What the ring held is still delivered; later pushes are refused.
    wait_until(lambda: len(got) == 5)
    p = run(_testing.start(d, 1))
    assert p.refused == 1
    wait_until(lambda: _try_setup(d))


def test_second_setup_while_running_is_refused(make):
    d = make(print)
    d.setup()
    with pytest.raises(RuntimeError, match="already running"):
        d.setup()


def test_python_overrides_run_through_the_table(make):
    calls = []

    class Sub(ThreadedDispatcher):
        def close(self):
            calls.append("close")
            ThreadedDispatcher.close(self)

    d = Sub(print)
    q = _testing.ring_of(d)
    d.setup()
    del d
    gc.collect()
    # Destruction called the override, which stopped the ring.
    assert calls == ["close"] and q.stopped


# ------------------------------------------------------------ lifetime


def test_dispatcher_freed_while_reader_blocks():
    d = ThreadedDispatcher(print)
    q = _testing.ring_of(d)
    d.setup()
    time.sleep(0.05)  # the reader is inside take
    del d
    assert q.stopped
    # The reader holds the ring until it has left.
    wait_until(lambda: sys.getrefcount(q) == 2)


def test_dispatcher_freed_by_its_own_callback():
    got = []
    holder = []

    def callback(m):
        got.append(m)
        if len(got) == 2:
            holder.clear()  # drops the last reference, on the reader thread
            time.sleep(0.01)

    d = ThreadedDispatcher(callback, capacity=64, slot_size=64)
    q = _testing.ring_of(d)
    run(_testing.start(d, 10))
    holder.append(d)
    d.setup()
    del d
    wait_until(lambda: sys.getrefcount(q) == 2)
    # Close ran on destruction; nothing is delivered after the dispatcher went.
    assert len(got) == 2 and q.stopped


def test_dispatcher_in_a_cycle_is_collected():
    class Owner:
        def on_message(self, m):
            self.got.append(m)

    o = Owner()
    o.got = []
    o.d = ThreadedDispatcher(o.on_message)
    q = _testing.ring_of(o.d)
    run(_testing.start(o.d, 3))
    o.d.setup()
    wait_until(lambda: len(o.got) == 3)
    del o
    gc.collect()
    assert q.stopped
    wait_until(lambda: sys.getrefcount(q) == 2)


# ------------------------------------------------------------ process exit

EXIT_SCRIPT = textwrap.dedent("""
    import sys, time
    from vestrel import _testing
    from vestrel.utils.corvane.corvane import ThreadedDispatcher
    case = sys.argv[1]
    if case == "busy":          # reader delivering, producer pushing
        d = ThreadedDispatcher(lambda m: None, capacity=64, slot_size=64)
        d.setup()
        p = _testing.start(d, 10**9, retry=True)
    elif case == "slow":        # reader inside a slow callback at exit
        d = ThreadedDispatcher(lambda m: time.sleep(0.05), capacity=64, slot_size=64)
        d.setup()
        p = _testing.start(d, 10**9, retry=True)
    elif case == "idle":        # reader blocked in take, dispatcher leaked
        d = ThreadedDispatcher(print)
        d.setup()
    elif case == "blocked":     # producer blocked on a full ring nobody reads
        d = ThreadedDispatcher(None, capacity=8, slot_size=64, block_on_full=True)
        p = _testing.start(d, 10**9)
    time.sleep(0.02)
""")


@pytest.mark.parametrize("case", ["busy", "slow", "idle", "blocked"])
def test_exit_while_running_is_clean(case, run_python):
    for _ in range(20 if case == "busy" else 3):
        r = run_python(EXIT_SCRIPT, args=[case], timeout=60)
        assert (r.returncode, r.stderr) == (0, "")


# ------------------------------------------------------------ stress


@pytest.mark.stress
@pytest.mark.parametrize("variable", [False, True])
def test_a_million_messages(variable):
    n = 1_000_000
    state = {"next": 0, "bad": 0}

    def callback(m):
        seq = _testing.decode(m)[0]
        state["bad"] += seq != state["next"]
        state["next"] = seq + 1

    d = ThreadedDispatcher(callback, capacity=1024, slot_size=128, variable_size=variable)
    try:
        d.setup()
        sizes = dict(min_size=16, max_size=512) if variable else dict(size=128)
        p = _testing.start(d, n, retry=True, **sizes)
        assert p.join(600)
        wait_until(lambda: state["next"] == n, timeout=600)
        assert (p.pushed, state["bad"]) == (n, 0)
    finally:
        d.close()
