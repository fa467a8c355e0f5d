"""The native producer of vestrel._testing: message format and argument checks."""

import time

import pytest

from vestrel import _testing
from vestrel.utils.corvane.corvane import AsyncDispatcher, SyncDispatcher, ThreadedDispatcher


def test_decode_checks_the_payload():
    d = ThreadedDispatcher(print, capacity=4, slot_size=64)
    try:
        assert _testing.start(d, 1, 40).join(30)
        msg = _testing.ring_of(d).try_take()
    finally:
        d.close()
    before = _testing.now_ns()
    seq, stamp = _testing.decode(msg)
    assert seq == 0 and 0 < stamp <= before and len(msg) == 40
    broken = bytearray(msg)
    broken[30] ^= 1
    with pytest.raises(ValueError, match="corrupt at byte 30"):
        _testing.decode(bytes(broken))
    with pytest.raises(ValueError, match="no header"):
        _testing.decode(b"short")


def test_encode_makes_the_producers_messages():
    before = _testing.now_ns()
    msg = _testing.encode(7, 40)
    seq, stamp = _testing.decode(msg)
    assert (seq, len(msg)) == (7, 40) and before <= stamp <= _testing.now_ns()
    with pytest.raises(ValueError, match="at least 16 bytes"):
        _testing.encode(0, 15)


def test_message_length_stays_in_range():
    lengths = {_testing.message_length(s, 16, 40) for s in range(2000)}
    assert lengths == set(range(16, 41))


@pytest.mark.parametrize("cls", [AsyncDispatcher, SyncDispatcher, ThreadedDispatcher])
def test_retry_pushes_with_try_push_and_counts_only_what_is_stored(cls):
    # Nobody drains: the producer fills the ring, then retries the next
    # message until it is cancelled.
    d = cls(print, 8, 64)
    p = _testing.start(d, 100, retry=True)
    deadline = time.monotonic() + 30
    while len(_testing.ring_of(d)) < 8 and time.monotonic() < deadline:
        time.sleep(0.001)
    time.sleep(0.01)
    assert not p.done
    p.cancel()
    assert p.join(30)
    assert (p.pushed, p.refused, len(_testing.ring_of(d))) == (8, 1, 8)
    assert d.stats()["refused_full"] >= 1  # every retry the ring answered "full"


@pytest.mark.parametrize("cls", [AsyncDispatcher, SyncDispatcher])
def test_other_dispatchers_take_the_messages(cls):
    # Before setup the pushes only store: the ring shows what arrived.
    d = cls(print, 8, 64)
    assert _testing.start(d, 3).join(30)
    q = _testing.ring_of(d)
    assert [_testing.decode(q.try_take())[0] for _ in range(3)] == [0, 1, 2]


@pytest.mark.parametrize("args, kwargs, error", [
    ((object(), 1), {}, TypeError),
    ((None, -1), {}, ValueError),
    ((None, 1, 8), {}, ValueError),
    ((None, 1), {"via": "elsewhere"}, ValueError),
])
def test_bad_arguments(args, kwargs, error):
    if args[0] is None:
        args = (ThreadedDispatcher(print),) + args[1:]
    with pytest.raises(error):
        _testing.start(*args, **kwargs)
