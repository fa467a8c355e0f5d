import asyncio
import copy
import ctypes
import inspect
import pickle
import sys
import warnings
from pathlib import Path

import pytest

import vestrel.utils.corvane.corvane as corvane
from corvane_layout import field

AD, SD, TD, AQ = (corvane.AsyncDispatcher, corvane.SyncDispatcher, corvane.ThreadedDispatcher,
                  corvane.AsyncQueue)
MODULE = "vestrel.utils.corvane.corvane"


# AsyncQueue() needs a current loop before 3.10.
pytestmark = pytest.mark.usefixtures("current_loop")


def blank_queue():
    return AQ.__new__(AQ)


def takes(name, how, n, given):
    return f"{name}() takes {how} {n} positional argument{'' if n == 1 else 's'} ({given} given)"


class Int(int):
    pass


class IntReturnsSub:
    def __int__(self):
        return Int(5)


class IntReturnsStr:
    def __int__(self):
        return "5"


# (callable, args, kwargs, exception, exact message)
BINDING_ERRORS = [
    # dispatcher constructors
    (AD, (), {}, TypeError, takes("__cinit__", "at least", 1, 0)),
    (AD, (print,) * 7, {}, TypeError, takes("__cinit__", "at most", 6, 7)),
    (SD, (print,) * 8, {}, TypeError, takes("__cinit__", "at most", 7, 8)),
    (TD, (print,) * 8, {}, TypeError, takes("__cinit__", "at most", 7, 8)),
    (TD, (), {"capacity": 1}, TypeError, takes("__cinit__", "at least", 1, 0)),
    (AD, (print,), {"bogus": 1}, TypeError, "__cinit__() got an unexpected keyword argument 'bogus'"),
    (SD, (print, 8), {"capacity": 1}, TypeError,
     "__cinit__() got multiple values for keyword argument 'capacity'"),
    (TD, (print,), {1: 2}, TypeError, "__cinit__() keywords must be strings"),
    (AD, (print, -1), {}, OverflowError, "can't convert negative value to size_t"),
    (TD, (print,), {"capacity": -1}, OverflowError, "can't convert negative value to size_t"),
    (SD, (print, 8, -2**70), {}, OverflowError, "can't convert negative value to size_t"),
    (AD, (print, "8"), {}, TypeError, "an integer is required"),
    (AD, (print, IntReturnsStr()), {}, TypeError, "__int__ returned non-int (type str)"),
    (AD, (print,), {"capacity": 2**64}, OverflowError, None),  # the interpreter's text
    # AsyncQueue.__init__
    (AQ, (None,) * 7, {}, TypeError, takes("__init__", "at most", 6, 7)),
    (AQ, (), {"slot_size": -1}, OverflowError, "can't convert negative value to size_t"),
    (AQ, (), {"loop": 1, "x": 2}, TypeError, "__init__() got an unexpected keyword argument 'x'"),
    (AQ, (None,), {"loop": 1}, TypeError, "__init__() got multiple values for keyword argument 'loop'"),
    # methods
    (lambda *a, **k: AD(print).setup(*a, **k), (1, 2), {}, TypeError, takes("setup", "at most", 1, 2)),
    (lambda *a, **k: AD(print).setup(*a, **k), (), {"host": 5}, TypeError,
     "Argument 'host' has incorrect type (expected str, got int)"),
    (lambda *a, **k: SD(print).setup(*a, **k), (type("S", (str,), {})("x"),), {}, TypeError,
     "Argument 'host' has incorrect type (expected str, got S)"),
    (lambda *a, **k: AD(print)._reader(*a, **k), (1,), {}, TypeError, takes("_reader", "exactly", 2, 1)),
    (lambda *a, **k: AD(print)._reader(*a, **k), (), {"sock": 1}, TypeError,
     takes("_reader", "exactly", 2, 0)),
    (lambda *a, **k: AD(print)._reader(*a, **k), (1, 2), {"loop": 1}, TypeError,
     "_reader() got multiple values for keyword argument 'loop'"),
    (lambda *a, **k: AD(print).close(*a, **k), (1,), {}, TypeError, takes("close", "exactly", 0, 1)),
    (lambda *a, **k: SD(print)._try_pop(*a, **k), (), {"x": 1}, TypeError,
     "_try_pop() got an unexpected keyword argument 'x'"),
    (lambda *a, **k: SD(print)._try_pop_var(*a, **k), (1, 2), {}, TypeError,
     takes("_try_pop_var", "exactly", 0, 2)),
    (lambda *a, **k: SD(print).close(*a, **k), (1,), {}, TypeError, takes("close", "exactly", 0, 1)),
    (lambda *a, **k: TD(print).setup(*a, **k), (1,), {}, TypeError, takes("setup", "exactly", 0, 1)),
    (lambda *a, **k: TD(print).close(*a, **k), (), {"now": 1}, TypeError,
     "close() got an unexpected keyword argument 'now'"),
    (lambda *a, **k: blank_queue().start_dispatcher(*a, **k), (), {}, TypeError,
     takes("start_dispatcher", "exactly", 1, 0)),
    (lambda *a, **k: blank_queue().pop(*a, **k), (1,), {}, TypeError, takes("pop", "exactly", 0, 1)),
    (lambda *a, **k: blank_queue().push_buf(*a, **k), (), {"message": 1}, TypeError,
     takes("push_buf", "exactly", 1, 0)),
    (lambda *a, **k: blank_queue().push_obj(*a, **k), (1, 2), {}, TypeError,
     takes("push_obj", "exactly", 1, 2)),
    (lambda *a, **k: blank_queue().push_str(*a, **k), (1,), {"msg": 2}, TypeError,
     "push_str() got multiple values for keyword argument 'msg'"),
    (lambda *a, **k: blank_queue()._AsyncQueue__dispatch(*a, **k), (1,), {}, TypeError,
     takes("__dispatch", "exactly", 0, 1)),
    (lambda *a, **k: blank_queue().shutdown(*a, **k), (), {"x": 1}, TypeError,
     "shutdown() got an unexpected keyword argument 'x'"),
    (lambda *a, **k: blank_queue().__reduce__(*a, **k), (1,), {}, TypeError,
     takes("__reduce__", "exactly", 0, 1)),
    (lambda *a, **k: blank_queue().__setstate__(*a, **k), (), {}, TypeError,
     takes("__setstate__", "exactly", 1, 0)),
    (lambda *a, **k: AD(print).__setstate__(*a, **k), (1, 2), {}, TypeError,
     takes("__setstate__", "exactly", 1, 2)),
    (corvane.__pyx_unpickle_AsyncQueue, (AQ, 1), {}, TypeError,
     takes("__pyx_unpickle_AsyncQueue", "exactly", 3, 2)),
    (corvane.__pyx_unpickle_AsyncQueue, (AQ, 1, []), {}, TypeError,
     "Argument '__pyx_state' has incorrect type (expected tuple, got list)"),
    (corvane.__pyx_unpickle_AsyncQueue, (AQ, "1", None), {}, TypeError, "an integer is required"),
    (corvane.__pyx_unpickle_AsyncQueue, (AQ, 2**31, None), {}, OverflowError,
     "Python int too large to convert to C long"),
    # self must be an instance of the class
    (AQ.pop, (1,), {}, TypeError,
     f"descriptor 'pop' for '{MODULE}.AsyncQueue' objects doesn't apply to a 'int' object"),
    (AD.close, (), {}, TypeError, "unbound method AsyncDispatcher.close() needs an argument"),
]


@pytest.mark.parametrize("fn, args, kwargs, exc, message", BINDING_ERRORS)
def test_binding_errors(fn, args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message


def test_size_t_overflow_uses_interpreter_text():
    convert = ctypes.pythonapi.PyLong_AsUnsignedLongLong
    convert.restype, convert.argtypes = ctypes.c_ulonglong, [ctypes.py_object]
    with pytest.raises(OverflowError) as expected:
        convert(2**64)
    with pytest.raises(OverflowError) as got:
        AD(print, 2**64)
    assert str(got.value) == str(expected.value)


def test_int_subclass_from_int_is_deprecated():
    message = ("__int__ returned non-int (type Int).  The ability to return an instance of a "
               "strict subclass of int is deprecated, and may be removed in a future version of "
               "Python.")
    with warnings.catch_warnings(record=True) as w:
        warnings.simplefilter("always")
        q = field(AD(print, IntReturnsSub()), "_q")
    assert [str(x.message) for x in w if x.category is DeprecationWarning] == [message]
    assert q.capacity == 5
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning, match="strict subclass"):
            AD(print, IntReturnsSub())


SRC = Path(__file__).resolve().parents[2] / "src"


def names_its_own_source(path, line, name):
    """A traceback entry or code object names the file that holds the function
    (under the package root) and a line of its entry there: never a line of
    some other file."""
    path = path.replace("\\", "/")
    if not path.startswith("vestrel/utils/corvane/") or not path.endswith(".cpp"):
        return False
    source = SRC / path
    if not source.exists():  # an installed package without its sources
        return True
    lines = source.read_text().splitlines()
    return 0 < line <= len(lines) and name in lines[line - 1] + lines[line - 2]


def test_binding_error_gains_traceback_entry():
    with pytest.raises(TypeError) as info:
        blank_queue().pop(1)
    last = info.traceback[-1]
    assert last.name == f"{MODULE}.AsyncQueue.pop"
    assert names_its_own_source(str(last.path), last.lineno + 1, '"pop"')
    with pytest.raises(TypeError) as info:
        SD()
    assert info.traceback[-1].name == f"{MODULE}.SyncDispatcher.__cinit__"


@pytest.mark.parametrize("call, outcome", [
    # setup needs a running loop: failing for want of one means binding passed.
    (lambda: AD(print).setup(None), RuntimeError),
    (lambda: AD(print).setup(host="0.0.0.0"), RuntimeError),
    (lambda: blank_queue().shutdown(1, 2, 3), "coroutine"),
    (lambda: AD(print)._reader(sock=1, loop=2), "coroutine"),
])
def test_accepted_bindings_reach_the_body(call, outcome):
    if outcome == "coroutine":
        c = call()
        assert asyncio.iscoroutine(c)
        c.close()
    else:
        with pytest.raises(outcome, match="no running event loop"):
            call()


# ------------------------------------------------------------ function attributes

H = ("127.0.0.1",)
FUNCTIONS = [
    # (owner, dict name, qualname, doc, params after self, defaults, annotations, coroutine)
    (AD, "setup", "AsyncDispatcher.setup", "AsyncDispatcher.setup(self, str host='127.0.0.1') -> void",
     ["host"], H, {}, False),
    (AD, "_reader", "AsyncDispatcher._reader", "AsyncDispatcher._reader(self, loop, sock)",
     ["loop", "sock"], None, {}, True),
    (AD, "close", "AsyncDispatcher.close", "AsyncDispatcher.close(self) -> None", [], None,
     {"return": "None"}, False),
    (SD, "setup", "SyncDispatcher.setup", "SyncDispatcher.setup(self, str host='127.0.0.1') -> void",
     ["host"], H, {}, False),
    (SD, "_try_pop", "SyncDispatcher._try_pop", "SyncDispatcher._try_pop(self) -> void", [], None,
     {}, False),
    (SD, "_try_pop_var", "SyncDispatcher._try_pop_var", "SyncDispatcher._try_pop_var(self) -> void",
     [], None, {}, False),
    (SD, "close", "SyncDispatcher.close", "SyncDispatcher.close(self) -> void", [], None, {}, False),
    (TD, "setup", "ThreadedDispatcher.setup", "ThreadedDispatcher.setup(self) -> void", [], None, {},
     False),
    (TD, "close", "ThreadedDispatcher.close", "ThreadedDispatcher.close(self) -> void", [], None, {},
     False),
    (AQ, "start_dispatcher", "AsyncQueue.start_dispatcher", "AsyncQueue.start_dispatcher(self, callback)",
     ["callback"], None, {}, False),
    (AQ, "push_buf", "AsyncQueue.push_buf", "AsyncQueue.push_buf(self, msg)", ["msg"], None, {}, True),
    (AQ, "push_obj", "AsyncQueue.push_obj", "AsyncQueue.push_obj(self, msg)", ["msg"], None, {}, True),
    (AQ, "push_str", "AsyncQueue.push_str", "AsyncQueue.push_str(self, msg)", ["msg"], None, {}, True),
    (AQ, "pop", "AsyncQueue.pop", "AsyncQueue.pop(self)", [], None, {}, True),
    (AQ, "_AsyncQueue__dispatch", "AsyncQueue.__dispatch", "AsyncQueue.__dispatch(self)", [], None,
     {}, True),
    (AQ, "shutdown", "AsyncQueue.shutdown", "AsyncQueue.shutdown(self, *excinfo)", [], None, {}, True),
    (corvane, "__pyx_unpickle_AsyncQueue", "__pyx_unpickle_AsyncQueue",
     "__pyx_unpickle_AsyncQueue(__pyx_type, long __pyx_checksum, tuple __pyx_state)",
     ["__pyx_type", "__pyx_checksum", "__pyx_state"], None, {}, False),
]


@pytest.mark.parametrize("owner, key, qualname, doc, params, defaults, annotations, coroutine",
                         FUNCTIONS)
def test_function_attributes(owner, key, qualname, doc, params, defaults, annotations, coroutine):
    fn = vars(owner)[key]
    method = owner is not corvane
    assert fn.__name__ == qualname.rsplit(".", 1)[-1]
    assert (fn.__qualname__, fn.__doc__, fn.__module__) == (qualname, doc, MODULE)
    assert fn.__globals__ is vars(corvane)
    assert fn.__defaults__ == defaults and fn.__annotations__ == annotations
    code = fn.__code__
    names = (["self"] if method else []) + params
    varargs = key == "shutdown"
    assert code.co_varnames[:len(names) + varargs] == tuple(names) + (("excinfo",) if varargs else ())
    assert code.co_argcount == len(names) and code.co_name == fn.__name__
    assert bool(code.co_flags & inspect.CO_COROUTINE) == coroutine
    assert bool(code.co_flags & inspect.CO_VARARGS) == varargs
    assert names_its_own_source(code.co_filename, code.co_firstlineno, f'"{fn.__name__}"')
    assert asyncio.iscoroutinefunction(fn) == coroutine
    if sys.version_info >= (3, 11):  # older inspect looks at Python functions only
        assert inspect.iscoroutinefunction(fn) == coroutine
    marker = getattr(asyncio.coroutines, "_is_coroutine", True)
    assert fn._is_coroutine is (marker if coroutine else False)
    assert list(inspect.signature(fn).parameters)[:len(names)] == names
    if method:
        instance = blank_queue() if owner is AQ else owner(print)
        bound = getattr(instance, fn.__name__ if not key.startswith("_AsyncQueue") else key)
        assert bound.__func__ is fn and bound.__self__ is instance
        assert asyncio.iscoroutinefunction(bound) == coroutine


# ------------------------------------------------------------ construction


@pytest.mark.parametrize("cls, args, kwargs, expected", [
    # expected: slot_size, capacity, overwrite, zerocopy, block_on_full
    (AD, (), {}, (2048, 16384, False, False, False)),
    (AD, (64, 8, True), {}, (8, 64, True, False, False)),
    (AD, (64, 8, False, True), {}, (8, 64, False, True, False)),
    (AD, (16.9,), {}, (2048, 16, False, False, False)),
    (SD, (16384, 2048, True), {}, (2048, 16384, False, True, False)),
    (SD, (), {"overwrite": 1, "slot_size": 32, "capacity": 4}, (32, 4, True, False, False)),
    (TD, (), {}, (2048, 16384, False, False, False)),
    (TD, (4, 16, "z", [1], ()), {}, (16, 4, False, True, True)),
    (TD, (), {"overwrite": True, "block_on_full": 0}, (2048, 16384, True, False, False)),
])
def test_dispatcher_builds_its_queue(cls, args, kwargs, expected):
    cb = object()
    d = cls(cb, *args, **kwargs)
    q = field(d, "_q")
    assert type(q).__name__ == "SPSCQueue" and field(d, "_callback") is cb
    assert (q.slot_size, q.capacity, q.overwrite, q.zerocopy, q.block_on_full) == expected


def test_dispatcher_queue_error_propagates():
    with pytest.raises(ValueError):
        AD(print, 0)  # the ring refuses a zero capacity


def test_async_queue_init():
    loop = object()
    q = AQ(loop, 32, 4, True, False, True)
    ring = field(q, "_q")
    assert (ring.slot_size, ring.capacity, ring.overwrite, ring.zerocopy, ring.block_on_full) == (
        32, 4, True, False, True)
    assert field(q, "_loop") is loop and field(q, "_callback") is None and field(q, "_task") is None
    assert isinstance(field(q, "_lock"), asyncio.Lock)
    assert isinstance(field(q, "_notify_cond"), asyncio.Condition)

    async def inside():
        q = AQ()
        return q, asyncio.get_running_loop()

    q, running = asyncio.run(asyncio.wait_for(inside(), 30))
    ring = field(q, "_q")
    assert field(q, "_loop") is running
    assert (ring.slot_size, ring.capacity) == (1024, 16384)


def test_async_queue_without_loop():
    with pytest.raises(RuntimeError) as info:
        AQ()
    assert str(info.value) == "AsyncQueue must be created inside a running event loop."
    assert isinstance(info.value.__context__, RuntimeError)


# ------------------------------------------------------------ pickling


@pytest.mark.parametrize("cls", [AD, SD, TD])
@pytest.mark.parametrize("action", [
    pickle.dumps, copy.copy, copy.deepcopy,
    lambda d: d.__reduce__(),
    lambda d: type(d).__setstate__(d, ()),
    lambda d: d.__setstate__(__pyx_state=None),
])
def test_dispatchers_refuse_pickling(cls, action):
    with pytest.raises(TypeError) as info:
        action(cls(print))
    assert str(info.value) == "no default __reduce__ due to non-trivial __cinit__"
