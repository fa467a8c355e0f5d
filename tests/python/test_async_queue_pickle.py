"""Pickling and copying of AsyncQueue: __reduce__, __setstate__ and the
rebuild function __pyx_unpickle_AsyncQueue."""

import asyncio
import builtins
import copy
import gc
import hashlib
import pickle
import sys

import pytest

import vestrel.utils.corvane.corvane as corvane
from corvane_layout import field
from vestrel.spsc_queue.spsc_queue import SPSCQueue

AQ = corvane.AsyncQueue
unpickle = corvane.__pyx_unpickle_AsyncQueue
FIELDS = ["_callback", "_lock", "_loop", "_notify_cond", "_q", "_task"]  # state order
CHECKSUM = 0xe6d5d6e
RING_NAME = "vestrel.spsc_queue.spsc_queue.SPSCQueue"
FIELD_LIST = "_callback, _lock, _loop, _notify_cond, _q, _task"


class Sub(AQ):
    pass


class Slotted(AQ):
    __slots__ = ("x",)


class SubRing(SPSCQueue):
    pass


class Tup(tuple):
    pass


# AsyncQueue() needs a current loop before 3.10.
pytestmark = pytest.mark.usefixtures("current_loop")


def blank(cls=AQ):
    return cls.__new__(cls)


def fields(q):
    return [field(q, name) for name in FIELDS]


def distinct_state():
    """Six fresh objects, a real ring as item 4."""
    return (object(), object(), object(), object(), SPSCQueue(8, 4), object())


def same_objects(got, expected):
    return len(got) == len(expected) and all(a is b for a, b in zip(got, expected))


# ------------------------------------------------------------ __reduce__


def test_reduce_of_initialised_queue():
    loop = object()
    q = AQ(loop=loop)
    rebuild, args, state = q.__reduce__()
    assert rebuild is unpickle
    assert args == (AQ, CHECKSUM, None) and args[0] is AQ
    assert same_objects(state, fields(q))
    assert state[2] is loop and type(state[4]) is SPSCQueue
    assert isinstance(state[1], asyncio.Lock) and isinstance(state[3], asyncio.Condition)


def test_reduce_of_blank_queue_rebuilds_a_blank_queue():
    q = blank()
    reduced = q.__reduce__()
    assert len(reduced) == 2
    rebuild, args = reduced
    assert rebuild is unpickle and args == (AQ, CHECKSUM, (None,) * 6)
    again = rebuild(*args)
    assert type(again) is AQ and again is not q
    assert fields(again) == [None] * 6


@pytest.mark.parametrize("index", range(6))
def test_any_field_set_selects_setstate_form(index):
    values = [None] * 6
    values[index] = SPSCQueue(8, 4) if FIELDS[index] == "_q" else object()
    q = blank()
    q.__setstate__(tuple(values))
    reduced = q.__reduce__()
    assert len(reduced) == 3 and reduced[1] == (AQ, CHECKSUM, None)
    assert same_objects(reduced[2], values)


def make_sub_with_attrs():
    s = blank(Sub)
    s.name, s.items = "queue", [1, 2]
    return s


class DictRaises(AQ):
    @property
    def __dict__(self):
        raise ValueError("no dict today")


class DictMissing(AQ):
    @property
    def __dict__(self):
        raise AttributeError("__dict__")


@pytest.mark.parametrize("make, form, with_dict", [
    (blank, 2, False),                          # no __dict__ at all
    (lambda: blank(Sub), 2, False),             # an empty __dict__ is not sent
    (make_sub_with_attrs, 3, True),             # attributes alone select __setstate__
    (lambda: blank(DictMissing), 2, False),     # AttributeError counts as no __dict__
])
def test_reduce_appends_instance_dict(make, form, with_dict):
    q = make()
    reduced = q.__reduce__()
    assert len(reduced) == form and reduced[1][0] is type(q)
    state = reduced[-1] if form == 3 else reduced[1][2]
    assert len(state) == 6 + with_dict
    assert state[:6] == (None,) * 6
    if with_dict:
        assert state[6] is vars(q)


def test_reduce_passes_other_dict_errors_on():
    with pytest.raises(ValueError, match="no dict today"):
        blank(DictRaises).__reduce__()


MISSING = object()


@pytest.mark.parametrize("in_module, in_builtins, expected", [
    ("module_fn", MISSING, "module_fn"),  # fetched at each call, not kept
    (MISSING, "builtin_fn", "builtin_fn"),
    ("module_fn", "builtin_fn", "module_fn"),
])
def test_reduce_looks_the_rebuild_function_up_by_name(monkeypatch, in_module, in_builtins,
                                                      expected):
    name = "__pyx_unpickle_AsyncQueue"
    if in_module is MISSING:
        monkeypatch.delattr(corvane, name)
    else:
        monkeypatch.setattr(corvane, name, in_module)
    if in_builtins is not MISSING:
        monkeypatch.setattr(builtins, name, in_builtins, raising=False)
    assert blank().__reduce__()[0] == expected


def test_reduce_without_rebuild_function_raises_name_error(monkeypatch):
    monkeypatch.delattr(corvane, "__pyx_unpickle_AsyncQueue")
    with pytest.raises(NameError) as info:
        AQ(loop=object()).__reduce__()
    assert str(info.value) == "name '__pyx_unpickle_AsyncQueue' is not defined"


# ------------------------------------------------------------ copy and pickle


@pytest.mark.parametrize("make", [lambda: AQ(loop=object()), blank])
def test_copy_shares_the_field_objects(make):
    q = make()
    c = copy.copy(q)
    assert type(c) is AQ and c is not q
    assert same_objects(fields(c), fields(q))


def test_copy_of_subclass_restores_attributes():
    s = make_sub_with_attrs()
    s.__setstate__(distinct_state())
    c = copy.copy(s)
    assert type(c) is Sub and c is not s
    assert vars(c) == vars(s) and vars(c) is not vars(s) and c.items is s.items
    assert same_objects(fields(c), fields(s))


def test_slotted_subclass_loses_its_slots():
    # No __dict__, so nothing beyond the six fields travels.
    s = blank(Slotted)
    s.x = 1
    c = copy.copy(s)
    assert type(c) is Slotted and not hasattr(c, "x")


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("make", [blank, make_sub_with_attrs])
def test_pickle_round_trip(make, protocol):
    q = make()
    q.__setstate__(("cb", "lock", "loop", "cond", None, "task"))
    back = pickle.loads(pickle.dumps(q, protocol))
    assert type(back) is type(q)
    assert fields(back) == ["cb", "lock", "loop", "cond", None, "task"]
    assert getattr(back, "__dict__", None) == getattr(q, "__dict__", None)


def test_pickle_of_blank_queue_names_the_module_function():
    assert pickle.loads(pickle.dumps(unpickle)) is unpickle
    data = pickle.dumps(blank(), 0)
    assert b"vestrel.utils.corvane.corvane" in data and b"__pyx_unpickle_AsyncQueue" in data
    assert fields(pickle.loads(data)) == [None] * 6


def test_pickle_stops_at_the_ring():
    ring = SPSCQueue(8, 4)
    with pytest.raises(TypeError) as refused:
        pickle.dumps(ring)
    q = blank()
    q.__setstate__((None, None, None, None, ring, None))
    with pytest.raises(TypeError) as info:
        pickle.dumps(q)
    assert str(info.value) == str(refused.value)
    # A queue built by __init__ holds a ring, so it cannot be pickled either.
    full = AQ(loop=object())
    if sys.version_info >= (3, 10):
        with pytest.raises(TypeError) as info:
            pickle.dumps(full)
        assert str(info.value) == str(refused.value)
    else:
        # Before 3.10 the lock holds the current loop, which refuses first.
        with pytest.raises((TypeError, AttributeError)):
            pickle.dumps(full)


# ------------------------------------------------------------ __pyx_unpickle_AsyncQueue


def digest_checksum(name):
    text = " ".join(FIELDS).encode()
    return int(hashlib.new(name, text).hexdigest()[:7], 16)


@pytest.mark.parametrize("cls, checksum", [
    (AQ, digest_checksum("sha256")),
    (AQ, digest_checksum("sha1")),
    (AQ, digest_checksum("md5")),
    (AQ, CHECKSUM + 0.9),  # truncated
    (Sub, 0x2a2f1a6),
])
@pytest.mark.parametrize("state", [None, "distinct"])
@pytest.mark.parametrize("by_keyword", [False, True])
def test_unpickle_accepts_each_checksum(cls, checksum, state, by_keyword):
    values = distinct_state() if state == "distinct" else None
    if by_keyword:
        q = unpickle(__pyx_type=cls, __pyx_checksum=checksum, __pyx_state=values)
    else:
        q = unpickle(cls, checksum, values)
    assert type(q) is cls
    assert same_objects(fields(q), values) if values else fields(q) == [None] * 6


def test_unpickle_does_not_run_init():
    class Noisy(AQ):
        def __init__(self, *a, **k):
            raise AssertionError("__init__ ran")

    assert type(unpickle(Noisy, CHECKSUM, None)) is Noisy


@pytest.mark.parametrize("checksum, shown", [
    (1, "0x1"),
    (CHECKSUM + 1, "0xe6d5d6f"),
    (2**31 - 1, "0x7fffffff"),
    (-1, "0x-1"),  # as Python's "%x" writes it
])
def test_unpickle_refuses_other_checksums(checksum, shown):
    with pytest.raises(pickle.PickleError) as info:
        unpickle(AQ, checksum, None)
    assert type(info.value) is pickle.PickleError
    assert str(info.value) == (
        f"Incompatible checksums ({shown} vs (0xe6d5d6e, 0x2a2f1a6, 0x7fa4a7c) = ({FIELD_LIST}))")


def expected_new_error(cls):
    with pytest.raises(TypeError) as info:
        AQ.__new__(cls)
    return str(info.value)


@pytest.mark.parametrize("args, exc, message", [
    # the state's type is tested before the checksum
    ((AQ, 1, []), TypeError, "Argument '__pyx_state' has incorrect type (expected tuple, got list)"),
    ((AQ, CHECKSUM, Tup()), TypeError,
     "Argument '__pyx_state' has incorrect type (expected tuple, got Tup)"),
    # the checksum is tested before the type
    ((int, 1, None), pickle.PickleError, None),
    ((int, CHECKSUM, None), TypeError, expected_new_error(int)),
    ((SPSCQueue, CHECKSUM, None), TypeError, expected_new_error(SPSCQueue)),
    ((5, CHECKSUM, None), TypeError, expected_new_error(5)),
    ((AQ, CHECKSUM, (None,) * 4 + (5, None)), TypeError, f"Cannot convert int to {RING_NAME}"),
    ((AQ, CHECKSUM, (None,) * 5), IndexError, "tuple index out of range"),
    ((AQ, CHECKSUM, (None,) * 6 + ({"a": 1},)), AttributeError, None),
    ((AQ, CHECKSUM, None, None), TypeError,
     "__pyx_unpickle_AsyncQueue() takes exactly 3 positional arguments (4 given)"),
])
def test_unpickle_errors(args, exc, message):
    with pytest.raises(exc) as info:
        unpickle(*args)
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("failure, exc", [
    (lambda mp: mp.setitem(sys.modules, "pickle", None), ImportError),
    (lambda mp: mp.delattr(pickle, "PickleError"), AttributeError),
])
def test_checksum_error_needs_pickle(monkeypatch, failure, exc):
    failure(monkeypatch)
    with pytest.raises(exc):
        unpickle(AQ, 1, None)


# ------------------------------------------------------------ __setstate__


def ring_subclass_state():
    state = list(distinct_state())
    state[4] = SubRing(8, 4)
    return tuple(state)


# (state maker, exception, message, how many leading fields are replaced)
SET_STATE_CASES = [
    (distinct_state, None, None, 6),
    (ring_subclass_state, None, None, 6),
    (lambda: distinct_state()[:4] + (None,) + distinct_state()[5:], None, None, 6),
    (lambda: distinct_state() + ({},), None, None, 6),  # empty dict: nothing to merge
    (lambda: distinct_state() + (None, "ignored"), None, None, 6),
    (lambda: (), IndexError, "tuple index out of range", 0),
    (lambda: distinct_state()[:3], IndexError, "tuple index out of range", 3),
    (lambda: distinct_state()[:5], IndexError, "tuple index out of range", 5),
    (lambda: distinct_state()[:4] + (5, object()), TypeError, f"Cannot convert int to {RING_NAME}",
     4),
    (lambda: distinct_state()[:4] + (AQ.__new__(AQ), object()), TypeError,
     f"Cannot convert {AQ.__module__}.AsyncQueue to {RING_NAME}", 4),
    (lambda: distinct_state() + ({"a": 1},), AttributeError, None, 6),  # plain queue: no __dict__
]


@pytest.mark.parametrize("make_state, exc, message, replaced", SET_STATE_CASES)
def test_setstate_writes_fields_in_order(make_state, exc, message, replaced):
    q = blank()
    old = distinct_state()
    q.__setstate__(old)
    new = make_state()
    if exc is None:
        assert q.__setstate__(new) is None
    else:
        with pytest.raises(exc) as info:
            q.__setstate__(new)
        if message is not None:
            assert str(info.value) == message
    assert same_objects(fields(q), new[:replaced] + old[replaced:6])


@pytest.mark.parametrize("arg, message", [
    (None, "cannot pass None into a C function argument that is declared 'not None'"),
    ([None] * 6, "Expected tuple, got list"),
    (Tup((None,) * 6), "Expected tuple, got Tup"),
])
def test_setstate_takes_exactly_a_tuple(arg, message):
    q = blank()
    old = distinct_state()
    q.__setstate__(old)
    for call in (lambda: q.__setstate__(arg), lambda: q.__setstate__(__pyx_state=arg)):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
    assert same_objects(fields(q), old)


def test_setstate_merges_into_the_instance_dict():
    s = blank(Sub)
    s.keep, s.a = 1, 0
    s.__setstate__((None,) * 6 + ({"a": 2, "b": 3},))
    assert vars(s) == {"keep": 1, "a": 2, "b": 3}


def test_setstate_updates_a_dict_subclass_through_its_method():
    class Recording(dict):
        def update(self, other):
            calls.append(other)

    calls = []
    s = blank(Sub)
    s.__dict__ = Recording(keep=1)
    extra = {"a": 2}
    s.__setstate__((None,) * 6 + (extra,))
    assert len(calls) == 1 and calls[0] is extra
    assert vars(s) == {"keep": 1}


def test_setstate_propagates_truth_test_error():
    class Falsy:
        def __bool__(self):
            raise ValueError("no truth")

    s = blank(Sub)
    with pytest.raises(ValueError, match="no truth"):
        s.__setstate__((None,) * 6 + (Falsy(),))


# ------------------------------------------------------------ references


def test_no_references_leak():
    state = distinct_state()
    q = blank(Sub)
    q.attr = object()
    q.__setstate__(state)
    watched = list(state) + [q.attr, unpickle, Sub]
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(50):
        q.__reduce__()
        q.__setstate__(state)
        unpickle(Sub, CHECKSUM, state)
        copy.copy(q)
        with pytest.raises(TypeError):
            q.__setstate__(state[:4] + (5, None))
        with pytest.raises(IndexError):
            unpickle(Sub, CHECKSUM, state[:5])
    q.__setstate__(state)
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before
