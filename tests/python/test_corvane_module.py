import ctypes
import gc
import json
import shutil
import subprocess
import sys
import sysconfig
import textwrap
import weakref

import pytest

import vestrel
import vestrel.utils.corvane.corvane as corvane
from corvane_layout import (OBJECT_FIELDS, STRUCTS, VTABLES, capsule_name, capsule_pointer,
                            field, view, vtable)

MODULE = "vestrel.utils.corvane.corvane"
CLASSES = ["AsyncDispatcher", "SyncDispatcher", "ThreadedDispatcher", "AsyncQueue"]
DISPATCHERS = CLASSES[:3]
TIMEOUT = 60


# AsyncQueue() needs a current loop before 3.10.
pytestmark = pytest.mark.usefixtures("current_loop")


def make(name, *args):
    cls = getattr(corvane, name)
    if name == "AsyncQueue":
        return cls(object(), *args)  # any loop object: no running loop needed
    return cls(print, *args)


# ------------------------------------------------------------ namespace


def test_namespace():
    import_attrs = {"__name__", "__loader__", "__file__", "__package__", "__spec__", "__doc__"}
    assert set(vars(corvane)) - import_attrs == {
        "__builtins__", "asyncio", "__pyx_unpickle_AsyncQueue", "__test__", *CLASSES}
    import asyncio
    import builtins

    assert corvane.__builtins__ is builtins and corvane.asyncio is asyncio
    assert corvane.__test__ == {} and corvane.__doc__ is None
    assert sys.modules[MODULE] is corvane


@pytest.mark.parametrize("name", CLASSES)
def test_class_identity(name):
    cls = getattr(corvane, name)
    assert cls.__module__ == MODULE and cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    assert cls.__doc__ == (
        "AsyncQueue(loop=None, size_t slot_size=1024, size_t capacity=16384, bool "
        "overwrite=False, bool zerocopy=False, bool block_on_full=False)"
        if name == "AsyncQueue" else None)


def test_reimport_yields_the_same_module():
    classes = [getattr(corvane, n) for n in CLASSES]
    del sys.modules[MODULE]
    try:
        again = __import__(MODULE, fromlist=["x"])
    finally:
        sys.modules[MODULE] = corvane
    assert again is corvane
    assert [getattr(again, n) for n in CLASSES] == classes


# ------------------------------------------------------------ layouts and tables


@pytest.mark.parametrize("name", CLASSES)
def test_layout_matches_instance(name):
    cls = getattr(corvane, name)
    assert cls.__basicsize__ == ctypes.sizeof(STRUCTS[name])
    obj = make(name)
    v = view(obj)
    assert v.vtab == capsule_pointer(cls.__dict__["__pyx_vtable__"])
    assert v.ob_type == id(cls)


@pytest.mark.parametrize("name", CLASSES)
def test_vtable_capsule(name):
    cls = getattr(corvane, name)
    assert capsule_name(cls.__dict__["__pyx_vtable__"]) is None
    slots = vtable(cls)
    assert all(slots) and len(set(slots)) == len(slots)


@pytest.mark.parametrize("name", DISPATCHERS)
@pytest.mark.parametrize("variable_size", [False, True])
def test_entry_pointers_follow_mode(name, variable_size):
    cls = getattr(corvane, name)
    slots = dict(zip(VTABLES[name], vtable(cls)))
    d = cls(print, variable_size=variable_size)
    v = view(d)
    assert v._push_fn == slots["push_var" if variable_size else "push"]
    if name == "AsyncDispatcher":
        assert v._pop_fn == slots["_try_pop_var" if variable_size else "_try_pop"]
    if name != "ThreadedDispatcher":
        assert v._fd == 2**64 - 1 and bytes(v._addr) == bytes(16)
    else:
        assert bytes(v._thread) == bytes(16)
    if name != "AsyncDispatcher":
        assert v._variable_size == variable_size


def test_sync_daemon_flag():
    assert view(corvane.SyncDispatcher(print, daemon=[1]))._daemon == 1
    assert view(corvane.SyncDispatcher(print))._daemon == 0


@pytest.fixture(scope="module")
def header_layout(tmp_path_factory):
    """Offsets and sizes as a C compiler sees vestrel/corvane.h."""
    cc = shutil.which("cc") or shutil.which("gcc")
    if not cc:
        pytest.skip("no C compiler")
    lines = []
    for name, struct in STRUCTS.items():
        lines.append(f'printf("\\"{name}\\": [%zu", sizeof(Vestrel{name}));')
        for f, _ in struct._fields_[2:]:
            lines.append(f'printf(", %zu", offsetof(Vestrel{name}, {f}));')
        lines.append(f'printf(", %zu],", sizeof(struct Vestrel{name}_VTable));')
    src = tmp_path_factory.mktemp("header") / "layout.c"
    src.write_text(textwrap.dedent("""\
        #include <stdio.h>
        #include <vestrel/corvane.h>
        int main(void) {
          printf("{");
        %s
          printf("\\"end\\": 0}");
          return 0;
        }
        """) % "\n".join("  " + x for x in lines))
    exe = src.with_suffix("")
    include = sysconfig.get_paths()["include"]
    subprocess.run([cc, "-Wall", "-Wextra", "-Werror", "-I", vestrel.get_include(),
                    "-I", include, "-o", str(exe), str(src)], check=True, timeout=TIMEOUT)
    out = subprocess.run([str(exe)], check=True, capture_output=True, timeout=TIMEOUT)
    return json.loads(out.stdout)


@pytest.mark.parametrize("name", CLASSES)
def test_header_compiles_from_c_and_matches(header_layout, name):
    struct = STRUCTS[name]
    size, *offsets, table_size = header_layout[name]
    assert size == ctypes.sizeof(struct) == getattr(corvane, name).__basicsize__
    assert offsets == [getattr(struct, f).offset for f, _ in struct._fields_[2:]]
    assert table_size == len(VTABLES[name]) * ctypes.sizeof(ctypes.c_void_p)


# ------------------------------------------------------------ objects


def test_queue_fields_none_after_allocation():
    # AsyncQueue takes its arguments in __init__: allocation alone is visible.
    obj = corvane.AsyncQueue.__new__(corvane.AsyncQueue)
    assert [getattr(view(obj), f) for f in OBJECT_FIELDS["AsyncQueue"]] == [id(None)] * 6


def tp_clear(obj):
    """Runs the type's tp_clear slot on `obj`, as the collector does."""
    t = type(obj)
    words = (ctypes.c_void_p * 25).from_address(id(t))
    # Sanity: the fixed head of PyTypeObject is where we expect it.
    assert ctypes.c_ssize_t.from_address(id(t) + 4 * 8).value == t.__basicsize__
    clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(words[24])  # GIL held
    assert clear(obj) == 0


@pytest.mark.parametrize("name", CLASSES)
def test_gc_clear_leaves_none(name):
    obj = make(name)
    assert field(obj, "_q") is not None
    tp_clear(obj)
    assert all(getattr(view(obj), f) == id(None) for f in OBJECT_FIELDS[name])
    assert gc.get_referents(obj) == [None] * len(OBJECT_FIELDS[name]) + [type(obj)] * (
        len(gc.get_referents(obj)) - len(OBJECT_FIELDS[name]))


@pytest.mark.parametrize("name", DISPATCHERS)
def test_cycle_through_callback_is_collected(name):
    class Callback:
        def __call__(self, msg):
            pass

    cb = Callback()
    cb.dispatcher = getattr(corvane, name)(cb)
    gone = weakref.ref(cb)
    del cb
    gc.collect()
    assert gone() is None


@pytest.mark.parametrize("name", CLASSES)
def test_no_dict_no_weakref_but_subclasses_get_both(name):
    obj = make(name)
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    sub = type("Sub", (getattr(corvane, name),), {})
    s = sub(object()) if name == "AsyncQueue" else sub(print)
    s.extra = 1
    assert weakref.ref(s)() is s and s.extra == 1


@pytest.mark.parametrize("name", DISPATCHERS)
def test_destruction_runs_close_override_and_reports_failure(name, unraisable):
    calls = []

    class Sub(getattr(corvane, name)):
        def close(self):
            calls.append(type(self).__name__)
            raise ValueError("close failed")

    s = Sub(print)
    gone = weakref.ref(s)
    del s
    assert calls == ["Sub"]
    assert [(r.exc_type, r.object) for r in unraisable] == [
        (ValueError, f"{MODULE}.{name}.__dealloc__")]
    # The report's traceback held the object; once it is dropped the object
    # is freed, and close does not run twice.
    unraisable.clear()
    gc.collect()
    assert gone() is None and calls == ["Sub"]


# ------------------------------------------------------------ import failures


PRELUDE = """
import sys, types, ctypes, traceback
def standin(name, **attrs):
    m = types.ModuleType(name)
    vars(m).update(attrs)
    sys.modules[name] = m
    return m
def capsule(name):
    new = ctypes.pythonapi.PyCapsule_New
    new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    return new(id(capsule), name, None)
"""

IMPORT_AND_REPORT = """
try:
    import vestrel.utils.corvane.corvane
except BaseException as e:
    print(type(e).__name__ + ": " + str(e))
    print("init entry:", any(f.name == "init vestrel.utils.corvane.corvane"
                             for f in traceback.extract_tb(e.__traceback__)))
    for k in [k for k in sys.modules if k in ("vestrel.spsc_queue.spsc_queue", "vestrel.common")]:
        if isinstance(sys.modules[k], types.ModuleType) and not hasattr(sys.modules[k], "__file__"):
            del sys.modules[k]
    import vestrel.utils.corvane.corvane as c
    print("retry:", sorted(n for n in vars(c) if not n.startswith("__")))
else:
    print("imported")
"""

RING = "vestrel.spsc_queue.spsc_queue"
COMMON = "vestrel.common"
SIG_OBJ = "int (PyObject *, PyObject **, char const **, size_t *)"


def big_slots(n):
    return f"type('S', (), {{'__slots__': tuple('a%d' % i for i in range({n}))}})"


BINDING_FAILURES = [
    # (stand-in set-up, expected first line)
    (f"standin('{RING}')",
     "AttributeError: module 'vestrel.spsc_queue.spsc_queue' has no attribute 'SPSCQueue'"),
    (f"standin('{RING}', SPSCQueue=5)",
     f"TypeError: {RING}.SPSCQueue is not a type object"),
    (f"S = {big_slots(2)}; standin('{RING}', SPSCQueue=S)",
     f"ValueError: {RING}.SPSCQueue size changed, may indicate binary incompatibility. "
     "Expected 232 from C header, got {S.__basicsize__} from PyObject"),
    (f"S = type('S', (bytes,), {{}}); standin('{RING}', SPSCQueue=S)",
     f"ValueError: {RING}.SPSCQueue size changed, may indicate binary incompatibility. "
     "Expected 232 from C header, got {S.__basicsize__ + 8} from PyObject"),
    (f"S = {big_slots(40)}; standin('{RING}', SPSCQueue=S)",
     "KeyError: '__pyx_vtable__'"),
    (f"S = {big_slots(27)}; S.__pyx_vtable__ = capsule(b'named'); standin('{RING}', SPSCQueue=S)",
     "ValueError: PyCapsule_GetPointer called with incorrect name"),
    (f"S = {big_slots(27)}; S.__pyx_vtable__ = 1; standin('{RING}', SPSCQueue=S)",
     "ValueError: PyCapsule_GetPointer called with invalid PyCapsule object"),
    (f"standin('{COMMON}')",
     "AttributeError: module 'vestrel.common' has no attribute '__pyx_capi__'"),
    (f"standin('{COMMON}', __pyx_capi__={{}})",
     f"ImportError: {COMMON} does not export expected C function obj_to_cbuf"),
    (f"standin('{COMMON}', __pyx_capi__={{'obj_to_cbuf': capsule(b'int (void)')}})",
     f"TypeError: C function {COMMON}.obj_to_cbuf has wrong signature "
     f"(expected {SIG_OBJ}, got int (void))"),
    (f"standin('{COMMON}', __pyx_capi__={{'obj_to_cbuf': capsule(None)}})",
     f"TypeError: C function {COMMON}.obj_to_cbuf has wrong signature "
     f"(expected {SIG_OBJ}, got NULL)"),
    (f"standin('{COMMON}', __pyx_capi__={{'obj_to_cbuf': 7}})",
     f"TypeError: C function {COMMON}.obj_to_cbuf has wrong signature "
     f"(expected {SIG_OBJ}, got int)"),
    # Looked up in order: the first missing one is named.
    (f"import vestrel.common as real; capi = dict(real.__pyx_capi__); del capi['buf_to_cbuf'], "
     f"capi['str_to_cbuf']; del sys.modules['{COMMON}']; standin('{COMMON}', __pyx_capi__=capi)",
     f"ImportError: {COMMON} does not export expected C function buf_to_cbuf"),
    (f"import vestrel.common as real; capi = dict(real.__pyx_capi__); del capi['str_to_cbuf']; "
     f"del sys.modules['{COMMON}']; standin('{COMMON}', __pyx_capi__=capi)",
     f"ImportError: {COMMON} does not export expected C function str_to_cbuf"),
]


@pytest.mark.parametrize("setup, expected", BINDING_FAILURES)
def test_binding_failure_fails_import_then_retry_works(setup, expected, run_python):
    out = run_python(PRELUDE + setup + "\n" + f"print(eval('f' + {expected!r:}.__repr__()))\n"
                     + IMPORT_AND_REPORT)
    assert out.returncode == 0, out.stderr
    want, got, entry, retry = out.stdout.splitlines()
    assert got == want
    assert entry == "init entry: True"
    assert retry == f"retry: {sorted(['asyncio', *CLASSES])}"


def test_larger_ring_instance_only_warns(run_python):
    code = PRELUDE + f"S = {big_slots(40)}; standin('{RING}', SPSCQueue=S)\n" + """
import warnings
with warnings.catch_warnings(record=True) as w:
    warnings.simplefilter("always")
    try:
        import vestrel.utils.corvane.corvane
    except KeyError:
        pass
print([(x.category.__name__, str(x.message)) for x in w])
print(S.__basicsize__)
"""
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    warned, size = out.stdout.splitlines()
    assert eval(warned) == [("RuntimeWarning", (
        f"{RING}.SPSCQueue size changed, may indicate binary incompatibility. "
        f"Expected 232 from C header, got {size} from PyObject"))]
    # As an error, the warning fails the import.
    out = run_python(PRELUDE + f"S = {big_slots(40)}; standin('{RING}', SPSCQueue=S)\n"
                     + IMPORT_AND_REPORT, "-W", "error::RuntimeWarning")
    assert out.stdout.splitlines()[0].startswith("RuntimeWarning: " + RING + ".SPSCQueue size")


# ------------------------------------------------------------ re-initialisation

REEXEC = """
import asyncio, ctypes, importlib, sys, types
name = sys.argv[1]
module = importlib.import_module(name)
before = dict(vars(module))
init = getattr(ctypes.PyDLL(module.__file__), "PyInit_" + name.rpartition(".")[2])
init.restype = ctypes.c_void_p
exec_def = ctypes.pythonapi.PyModule_ExecDef
exec_def.restype, exec_def.argtypes = ctypes.c_int, [ctypes.py_object, ctypes.c_void_p]
try:
    exec_def(types.ModuleType("probe"), init())
except RuntimeError as e:
    print(e)
assert vars(module) == before
if name.endswith("corvane"):
    async def main():
        return module.AsyncQueue().__reduce__()[0].__name__
    print(asyncio.run(main()))
"""


@pytest.mark.parametrize("name, short", [(MODULE, "corvane"),
                                         ("vestrel.utils.brackwell.brackwell", "brackwell")])
def test_refused_second_execution_leaves_the_module_whole(name, short, run_python):
    done = run_python(REEXEC, args=[name])
    assert done.returncode == 0, done.stderr
    refused = (f"Module '{short}' has already been imported. Re-initialisation is not "
               "supported.\n")
    assert done.stdout == refused + ("__pyx_unpickle_AsyncQueue\n" if short == "corvane" else "")
