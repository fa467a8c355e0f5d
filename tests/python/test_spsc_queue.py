import ctypes
import copy
import pickle
import struct
import threading

import pytest

from corvane_layout import capsule_name, capsule_pointer
from vestrel.spsc_queue.spsc_queue import SPSCQueue

STORED, FULL, TOO_LONG, STOPPED, WRONG_MODE = 1, 0, -1, -2, -3
TIMEOUT = 30


def run_thread(target, *args):
    t = threading.Thread(target=target, args=args, daemon=True)
    t.start()
    return t


def join(t):
    t.join(TIMEOUT)
    assert not t.is_alive(), "thread did not finish"


@pytest.fixture
def watchdog():
    """Stops the queue if a blocking test call does not return in time."""
    timers = []

    def arm(q):
        timer = threading.Timer(TIMEOUT, q.stop)
        timer.start()
        timers.append(timer)

    yield arm
    for timer in timers:
        timer.cancel()
        timer.join()


# ------------------------------------------------------------ construction


@pytest.mark.parametrize(
    "args, kwargs, expect",
    [
        ((), {}, (1024, 16384, False, False, False)),
        ((64, 8, True, True, True), {}, (64, 8, True, True, True)),
        ((), dict(slot_size=32, capacity=2, block_on_full=1), (32, 2, False, False, True)),
        ((16,), dict(zerocopy="yes", overwrite=[]), (16, 16384, False, True, False)),
    ],
)
def test_constructor_parameters(args, kwargs, expect):
    q = SPSCQueue(*args, **kwargs)
    assert (q.slot_size, q.capacity, q.overwrite, q.zerocopy, q.block_on_full) == expect
    assert len(q) == 0 and q.mode == "none" and not q.stopped


@pytest.mark.parametrize(
    "kwargs, exc, match",
    [
        (dict(slot_size=0), ValueError, "positive"),
        (dict(capacity=0), ValueError, "positive"),
        (dict(slot_size=-1), ValueError, "slot_size"),
        (dict(capacity=2**64), ValueError, "capacity"),
        (dict(slot_size=2**63, capacity=4), ValueError, "too large"),
        (dict(slot_size=2**62, capacity=2**62), ValueError, "too large"),
        (dict(slot_size=2**40, capacity=2**20), MemoryError, None),
        (dict(slot_size=1.5), TypeError, "integer"),
        (dict(capacity="8"), TypeError, "integer"),
        (dict(bogus=1), TypeError, "bogus"),
    ],
)
def test_constructor_errors(kwargs, exc, match):
    with pytest.raises(exc, match=match):
        SPSCQueue(**kwargs)


def test_layout_and_method_table():
    assert SPSCQueue.__basicsize__ == 232
    capsule = SPSCQueue.__dict__["__pyx_vtable__"]
    assert capsule_name(capsule) is None
    table = vtable_of(SPSCQueue(8, 2))
    assert all(table[i] for i in range(11) if i != 4) and table[4] is None
    # The instance points at the exported table.
    q = SPSCQueue(8, 2)
    assert ctypes.c_void_p.from_address(id(q) + 16).value == capsule_pointer(capsule)


def test_subclass_and_pickling_refused():
    class Sub(SPSCQueue):
        pass

    s = Sub(8, 4)
    s.extra = 1
    assert s.try_put(b"x") == STORED and s.try_take() == b"x"
    for obj in (SPSCQueue(8, 2), s):
        with pytest.raises(TypeError, match="pickle"):
            pickle.dumps(obj)
        with pytest.raises(TypeError, match="pickle"):
            copy.copy(obj)


# ------------------------------------------------------------ results


@pytest.mark.parametrize("var", [False, True])
def test_results_and_size(var):
    q = SPSCQueue(16, 4)
    put = q.try_put_var if var else q.try_put
    take = q.try_take_var if var else q.try_take
    limit = q.max_var_size if var else q.slot_size
    assert put(b"a" * (limit + 1)) == TOO_LONG
    assert take() is None
    msgs = []
    while True:
        m = bytes([len(msgs)]) * (len(msgs) % 5)
        r = put(m)
        if r != STORED:
            assert r == FULL
            break
        msgs.append(m)
    assert len(q) == len(msgs) > 0
    assert [take() for _ in msgs] == msgs
    assert take() is None and len(q) == 0
    assert q.mode == ("variable" if var else "fixed")
    # Only the first put picks the format.
    other_put = q.try_put if var else q.try_put_var
    other_take = q.try_take if var else q.try_take_var
    assert other_put(b"x") == WRONG_MODE
    assert put(b"x") == STORED
    with pytest.raises(ValueError, match="use"):
        other_take()


def test_empty_and_max_messages():
    q = SPSCQueue(5, 3)
    assert q.try_put(b"") == STORED and q.try_put(b"12345") == STORED
    assert q.try_take() == b"" and q.try_take() == b"12345"
    v = SPSCQueue(5, 3)
    big = bytes(range(256)) * (v.max_var_size // 256 + 1)
    big = big[: v.max_var_size]
    for _ in range(5):  # every offset: a record of the maximum size always fits
        assert v.try_put_var(big) == STORED and v.try_take_var() == big
        assert v.try_put_var(b"") == STORED and v.try_take_var() == b""


@pytest.mark.parametrize("data", [bytearray(b"abc"), memoryview(b"xabcx")[1:4], b"abc"])
def test_put_accepts_buffers(data):
    q = SPSCQueue(8, 2)
    assert q.put(data) == STORED and q.take() == b"abc"


def test_put_rejects_non_buffers():
    q = SPSCQueue(8, 2)
    with pytest.raises(TypeError):
        q.put("text")
    with pytest.raises(BufferError):
        q.put(memoryview(b"abcdef")[::2])


def test_take_without_release_moves_on():
    q = SPSCQueue(8, 3)
    for i in range(3):
        assert q.put(bytes([i])) == STORED
    assert q.put(b"x") == FULL
    assert q.take() == b"\x00"
    assert len(q) == 3  # held until release or the next take
    assert q.take() == b"\x01"  # frees the first one
    assert q.put(b"\x03") == STORED
    q.release()
    q.release()  # nothing held: no effect
    assert [q.try_take(), q.try_take(), q.try_take()] == [b"\x02", b"\x03", None]


def test_overwrite_keeps_newest():
    q = SPSCQueue(8, 4, overwrite=True)
    for i in range(10):
        assert q.try_put(struct.pack("<I", i)) == STORED
    assert len(q) == 4 and q.stats()["dropped"] == 6
    assert [struct.unpack("<I", q.try_take())[0] for _ in range(4)] == [6, 7, 8, 9]
    v = SPSCQueue(8, 4, overwrite=True)
    for i in range(50):
        assert v.try_put_var(bytes([i]) * (i % 9)) == STORED
    got = []
    while (m := v.try_take_var()) is not None:
        got.append(m)
    assert got[-1] == bytes([49]) * (49 % 9)
    assert got == [bytes([i]) * (i % 9) for i in range(50 - len(got), 50)]


# ------------------------------------------------------------ stop and waiting


def test_stop_drains_then_reports():
    q = SPSCQueue(8, 4)
    q.put(b"a")
    q.put(b"b")
    q.stop()
    assert q.stopped
    assert q.put(b"c") == STOPPED and q.try_put(b"c") == STOPPED
    assert q.take() == b"a" and q.take() == b"b" and q.take() is None


@pytest.mark.parametrize("var", [False, True])
def test_stop_wakes_waiting_take(var, watchdog):
    q = SPSCQueue(8, 4)
    watchdog(q)
    result = []
    t = run_thread(lambda: result.append(q.take_var() if var else q.take()))
    t.join(0.2)
    assert t.is_alive()  # waiting, with the GIL released
    q.stop()
    join(t)
    assert result == [None]


@pytest.mark.parametrize("var", [False, True])
def test_blocking_put_waits_for_room_and_ends_on_stop(var, watchdog):
    q = SPSCQueue(8, 3, block_on_full=True)
    watchdog(q)
    put, try_put = (q.put_var, q.try_put_var) if var else (q.put, q.try_put)
    take = q.try_take_var if var else q.try_take

    def fill():
        sent = []
        while try_put(b"%d" % len(sent)) == STORED:  # try_* never waits
            sent.append(b"%d" % len(sent))
        return sent

    def blocked_put(msg):
        t = run_thread(lambda: results.append(put(msg)))
        t.join(0.2)
        assert t.is_alive()
        return t

    results = []
    sent = fill()
    t = blocked_put(b"y")
    first = take()  # frees room: the waiting producer stores its message
    join(t)
    assert results == [STORED]
    rest = []
    while (m := take()) is not None:
        rest.append(m)
    assert [first] + rest == sent + [b"y"]
    fill()
    t = blocked_put(b"z")
    q.stop()
    join(t)
    assert results == [STORED, STOPPED]


def test_second_python_consumer_is_refused(watchdog):
    q = SPSCQueue(8, 4)
    watchdog(q)
    t = run_thread(q.take)
    t.join(0.2)
    with pytest.raises(RuntimeError, match="consumer"):
        q.try_take()
    q.put(b"a")
    join(t)
    assert q.try_take() is None


def test_python_try_take_frees_its_slot():
    q = SPSCQueue(8, 1)
    assert q.put(b"a") == STORED and q.try_take() == b"a"
    assert q.put(b"b") == STORED and len(q) == 1


@pytest.mark.parametrize("var", [False, True])
def test_threads_move_messages_in_order(var, watchdog):
    count = 20000
    q = SPSCQueue(16, 8, block_on_full=True)
    watchdog(q)
    put = q.put_var if var else q.put
    take = q.take_var if var else q.take

    def produce():
        for i in range(count):
            msg = struct.pack("<I", i) * (1 + i % 4 if var else 1)
            assert put(msg) == STORED

    t = run_thread(produce)
    for i in range(count):
        msg = take()
        assert msg == struct.pack("<I", i) * (1 + i % 4 if var else 1)
    join(t)
    assert q.try_take_var() is None if var else q.try_take() is None


# ------------------------------------------------------------ the C-level table

PUT = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t)
TAKE = ctypes.CFUNCTYPE(
    ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_size_t)
)
VOID = ctypes.CFUNCTYPE(None, ctypes.c_void_p)


def vtable_of(q):
    vtab = ctypes.c_void_p.from_address(id(q) + 16).value
    return (ctypes.c_void_p * 11).from_address(vtab)


def test_method_table_calls():
    q = SPSCQueue(8, 4)
    table = vtable_of(q)
    put, try_put, put_var, try_put_var = (PUT(table[i]) for i in range(4))
    take, try_take, take_var, try_take_var = (TAKE(table[i]) for i in (5, 7, 8, 9))
    release, stop = VOID(table[6]), VOID(table[10])
    data, size = ctypes.c_void_p(), ctypes.c_size_t()
    assert try_put(id(q), b"hello", 5) == STORED and put(id(q), b"world", 5) == STORED
    assert try_put(id(q), b"123456789", 9) == TOO_LONG
    assert try_take(id(q), ctypes.byref(data), ctypes.byref(size)) == 1
    assert ctypes.string_at(data, size.value) == b"hello"
    assert take(id(q), ctypes.byref(data), ctypes.byref(size)) == 1
    assert ctypes.string_at(data, size.value) == b"world"
    release(id(q))
    assert try_put_var(id(q), b"v", 1) == WRONG_MODE
    v = SPSCQueue(8, 4)
    assert put_var(id(v), b"var", 3) == STORED
    assert take_var(id(v), ctypes.byref(data), ctypes.byref(size)) == 1
    assert ctypes.string_at(data, size.value) == b"var"
    assert try_take_var(id(v), ctypes.byref(data), ctypes.byref(size)) == 0
    stop(id(v))
    assert take_var(id(v), ctypes.byref(data), ctypes.byref(size)) == STOPPED


def test_stats_count_refused_puts_by_reason():
    q = SPSCQueue(16, 2)
    assert [q.try_put(b"a"), q.put(b"b"), q.try_put(b"c"), q.put(b"d")] == [1, 1, 0, 0]
    assert q.put(b"x" * 17) == -1
    assert q.try_put_var(b"e") == -3
    q.stop()
    assert q.put(b"f") == -2
    s = q.stats()
    assert (s["stored"], s["refused_full"], s["refused_too_long"], s["refused_other_format"],
            s["refused_stopped"]) == (2, 2, 1, 1, 1)
