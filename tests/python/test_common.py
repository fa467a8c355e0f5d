"""vestrel.common: the buffer converters, called through their C signatures."""

import array
import ctypes
import gc
import sys
from ctypes import POINTER, byref, c_char_p, c_int, c_size_t, c_ssize_t, c_void_p, py_object

import pytest

from vestrel import common

SIGNATURES = {
    "obj_to_cbuf": "int (PyObject *, PyObject **, char const **, size_t *)",
    "buf_to_cbuf": "int (PyObject *, Py_buffer *, char const **, size_t *)",
    "str_to_cbuf": "int (PyObject *, char const **, size_t *)",
}


def _api(name, restype, *argtypes):
    # Own prototypes rather than ctypes.pythonapi's shared ones, whose argtypes
    # other tests may set differently.
    return ctypes.PYFUNCTYPE(restype, *argtypes)((name, ctypes.pythonapi))


_capsule_name = _api("PyCapsule_GetName", c_char_p, py_object)
_capsule_pointer = _api("PyCapsule_GetPointer", c_void_p, py_object, c_char_p)
_decref = _api("Py_DecRef", None, c_void_p)
_memory_from_pointer = _api("PyMemoryView_FromMemory", py_object, c_void_p, c_ssize_t, c_int)


class PyBuffer(ctypes.Structure):
    _fields_ = [
        ("buf", c_void_p),
        ("obj", c_void_p),  # raw, so ctypes takes no part in its reference
        ("len", c_ssize_t),
        ("itemsize", c_ssize_t),
        ("readonly", c_int),
        ("ndim", c_int),
        ("format", c_char_p),
        ("shape", c_void_p),
        ("strides", c_void_p),
        ("suboffsets", c_void_p),
        ("internal", c_void_p),
    ]


_buffer_release = _api("PyBuffer_Release", None, POINTER(PyBuffer))

_PTR = POINTER(c_void_p)
_LEN = POINTER(c_size_t)
_PROTOTYPES = {
    "obj_to_cbuf": ctypes.PYFUNCTYPE(c_int, py_object, _PTR, _PTR, _LEN),
    "buf_to_cbuf": ctypes.PYFUNCTYPE(c_int, py_object, POINTER(PyBuffer), _PTR, _LEN),
    "str_to_cbuf": ctypes.PYFUNCTYPE(c_int, py_object, _PTR, _LEN),
}


def _converter(name):
    capsule = common.__pyx_capi__[name]
    return _PROTOTYPES[name](_capsule_pointer(capsule, SIGNATURES[name].encode()))


obj_to_cbuf = _converter("obj_to_cbuf")
buf_to_cbuf = _converter("buf_to_cbuf")
str_to_cbuf = _converter("str_to_cbuf")

# Values the converters must leave alone when they fail or decline.
SENTINEL_PTR = 0x5EED0
SENTINEL_LEN = 12345


class Out:
    """Out-parameters of one call, preset to sentinels."""

    def __init__(self):
        self.holder = c_void_p(SENTINEL_PTR)
        self.data = c_void_p(SENTINEL_PTR)
        self.len = c_size_t(SENTINEL_LEN)
        self.view = PyBuffer()

    def untouched(self):
        return (self.holder.value, self.data.value, self.len.value) == (
            SENTINEL_PTR,
            SENTINEL_PTR,
            SENTINEL_LEN,
        )

    def bytes(self):
        assert self.data.value  # never null, also for empty messages
        return ctypes.string_at(self.data.value, self.len.value)


def call_obj(msg, out):
    out.holder = c_void_p()  # callers start with an empty holder
    return obj_to_cbuf(msg, byref(out.holder), byref(out.data), byref(out.len))


def call_buf(msg, out):
    return buf_to_cbuf(msg, byref(out.view), byref(out.data), byref(out.len))


def call_str(msg, out):
    return str_to_cbuf(msg, byref(out.data), byref(out.len))


def fresh_str(text):
    # Built at run time, so no constant or cache keeps another reference.
    return text[:1] + text[1:]


def fresh_bytes(text):
    return fresh_str(text).encode()


TEXT = "h\u00e9llo w\u00f6rld \u20ac \U0001d11e"

BYTES_LIKE = {
    "bytes": lambda: fresh_bytes("abc"),
    "empty-bytes": lambda: fresh_bytes(""),
    "bytes-subclass": lambda: type("B", (bytes,), {})(b"sub"),
    "bytearray": lambda: bytearray(b"\x00mutable\xff"),
    "empty-bytearray": lambda: bytearray(),
    "memoryview": lambda: memoryview(fresh_bytes("view")),
    "memoryview-slice": lambda: memoryview(fresh_bytes("0123456789"))[2:7],
    "array": lambda: array.array("i", [1, -2, 3]),
    "2d-memoryview": lambda: memoryview(bytearray(b"abcdef")).cast("B", (2, 3)),
}

STRS = {
    "ascii": lambda: fresh_str("plain"),
    "non-ascii": lambda: fresh_str(TEXT),
    "empty-str": lambda: fresh_str(""),
}


def expected_bytes(msg):
    return msg.encode("utf-8") if isinstance(msg, str) else memoryview(msg).tobytes()


def test_capsules_are_named_by_their_signatures():
    assert set(common.__pyx_capi__) == set(SIGNATURES)
    for name, signature in SIGNATURES.items():
        capsule = common.__pyx_capi__[name]
        assert _capsule_name(capsule) == signature.encode()
        with pytest.raises(ValueError):
            _capsule_pointer(capsule, b"int (PyObject *)")
    assert [n for n in vars(common) if not n.startswith("__")] == []


@pytest.mark.parametrize("make", list(BYTES_LIKE.values()) + list(STRS.values()),
                         ids=list(BYTES_LIKE) + list(STRS))
def test_obj_to_cbuf_points_at_the_message_bytes(make):
    msg = make()
    want = expected_bytes(msg)
    before = sys.getrefcount(msg)
    out = Out()
    assert call_obj(msg, out) == 0
    assert out.bytes() == want
    assert out.holder.value
    _decref(out.holder)
    assert sys.getrefcount(msg) == before


@pytest.mark.parametrize("make", list(BYTES_LIKE.values()) + list(STRS.values()),
                         ids=list(BYTES_LIKE) + list(STRS))
def test_obj_to_cbuf_holder_keeps_the_bytes_alive(make):
    msg = make()
    want = expected_bytes(msg)
    out = Out()
    assert call_obj(msg, out) == 0
    del msg
    gc.collect()
    try:
        assert out.bytes() == want
    finally:
        _decref(out.holder)


@pytest.mark.parametrize("as_view", [False, True], ids=["bytearray", "memoryview-of-bytearray"])
def test_obj_to_cbuf_pins_a_bytearray_while_held(as_view):
    ba = bytearray(b"pinned")
    msg = memoryview(ba) if as_view else ba
    out = Out()
    assert call_obj(msg, out) == 0
    if as_view:
        # The caller's own view may go away; the holder still pins the bytes.
        msg.release()
    del msg
    gc.collect()
    try:
        with pytest.raises(BufferError):
            ba.extend(b"more")
        assert out.bytes() == b"pinned"
    finally:
        _decref(out.holder)
    ba.extend(b"more")
    assert ba == b"pinnedmore"


def test_obj_to_cbuf_declines_none_and_touches_nothing():
    out = Out()
    rc = obj_to_cbuf(None, byref(out.holder), byref(out.data), byref(out.len))
    assert rc == 1
    assert out.untouched()


NOT_BYTES = {
    "int": lambda: 7,
    "float": lambda: 1.5,
    "list": lambda: [1, 2],
    "dict": lambda: {},
    "object": object,
}


def non_contiguous():
    return memoryview(bytearray(b"abcdef"))[::2]


def assert_no_export_left(msg):
    # Both steps raise BufferError while a converter still holds an export.
    if isinstance(msg, memoryview):
        base = msg.obj
        msg.release()
        if isinstance(base, bytearray):
            base.append(0)


@pytest.mark.parametrize(
    "make, match",
    [(m, "expected a bytes-like object or str, got " + n) for n, m in NOT_BYTES.items()]
    + [(non_contiguous, "expected a C-contiguous buffer, got a non-contiguous memoryview")],
    ids=list(NOT_BYTES) + ["non-contiguous"],
)
def test_obj_to_cbuf_rejects(make, match):
    msg = make()
    before = sys.getrefcount(msg)
    out = Out()
    with pytest.raises(TypeError, match="^" + match + "$"):
        obj_to_cbuf(msg, byref(out.holder), byref(out.data), byref(out.len))
    assert out.untouched()
    assert sys.getrefcount(msg) == before
    assert_no_export_left(msg)


@pytest.mark.parametrize("make", BYTES_LIKE.values(), ids=BYTES_LIKE)
def test_buf_to_cbuf_holds_a_view_of_the_message(make):
    msg = make()
    want = expected_bytes(msg)
    before = sys.getrefcount(msg)
    out = Out()
    assert call_buf(msg, out) == 0
    assert out.view.buf and out.view.obj == id(msg)
    assert out.bytes() == want
    if isinstance(msg, memoryview):
        with pytest.raises(BufferError):
            msg.release()
    _buffer_release(byref(out.view))
    assert sys.getrefcount(msg) == before
    assert_no_export_left(msg)


def test_buf_to_cbuf_pins_a_bytearray_until_released():
    ba = bytearray(b"held")
    out = Out()
    assert call_buf(ba, out) == 0
    try:
        with pytest.raises(BufferError):
            ba.append(0)
        assert out.bytes() == b"held"
    finally:
        _buffer_release(byref(out.view))
    ba.append(0)


@pytest.mark.parametrize(
    "make, match",
    [(m, "expected a bytes-like object, got " + n) for n, m in NOT_BYTES.items()]
    + [
        (lambda: None, "expected a bytes-like object, got NoneType"),
        (lambda: fresh_str("text"), "expected a bytes-like object, got str"),
        (non_contiguous, "expected a C-contiguous buffer, got a non-contiguous memoryview"),
    ],
    ids=list(NOT_BYTES) + ["None", "str", "non-contiguous"],
)
def test_buf_to_cbuf_rejects_and_holds_nothing(make, match):
    msg = make()
    before = sys.getrefcount(msg)
    out = Out()
    out.view.buf = None
    with pytest.raises(TypeError, match="^" + match + "$"):
        call_buf(msg, out)
    assert out.view.buf is None and out.view.obj is None
    assert (out.data.value, out.len.value) == (SENTINEL_PTR, SENTINEL_LEN)
    if msg is not None:  # None's count moves with everything else running
        assert sys.getrefcount(msg) == before
    assert_no_export_left(msg)


@pytest.mark.skipif(hasattr(sys, "gettotalrefcount"), reason="debug builds assert on a null pointer")
@pytest.mark.parametrize("call", [call_obj, call_buf], ids=["obj_to_cbuf", "buf_to_cbuf"])
def test_empty_export_with_null_pointer(call):
    # An exporter may describe an empty buffer by a null pointer. The caller
    # releases a view only when its pointer is set, so nothing may stay held.
    msg = _memory_from_pointer(None, 0, 0x100)  # PyBUF_READ
    out = Out()
    assert call(msg, out) == 0
    assert out.bytes() == b""
    if call is call_buf:
        assert out.view.buf is None  # so the caller will not release it
    else:
        _decref(out.holder)
    msg.release()  # raises BufferError if an export were left behind


@pytest.mark.parametrize("make", STRS.values(), ids=STRS)
def test_str_to_cbuf_gives_utf8_owned_by_the_str(make):
    msg = make()
    before = sys.getrefcount(msg)
    out = Out()
    assert call_str(msg, out) == 0
    assert out.bytes() == msg.encode("utf-8")
    assert sys.getrefcount(msg) == before


@pytest.mark.parametrize(
    "make, match",
    [(m, "expected str, got " + n) for n, m in NOT_BYTES.items()]
    + [
        (lambda: None, "expected str, got NoneType"),
        (lambda: fresh_bytes("abc"), "expected str, got bytes"),
        (lambda: bytearray(b"abc"), "expected str, got bytearray"),
    ],
    ids=list(NOT_BYTES) + ["None", "bytes", "bytearray"],
)
def test_str_to_cbuf_rejects(make, match):
    msg = make()
    out = Out()
    with pytest.raises(TypeError, match="^" + match + "$"):
        call_str(msg, out)
    assert out.untouched()


@pytest.mark.parametrize(
    "call",
    [
        lambda msg, out: obj_to_cbuf(msg, byref(out.holder), byref(out.data), byref(out.len)),
        call_str,
    ],
    ids=["obj_to_cbuf", "str_to_cbuf"],
)
def test_lone_surrogate_raises_unicode_encode_error(call):
    msg = fresh_str("ok \udcff")
    before = sys.getrefcount(msg)
    out = Out()
    with pytest.raises(UnicodeEncodeError):
        call(msg, out)
    assert out.untouched()
    assert sys.getrefcount(msg) == before


@pytest.mark.parametrize(
    "call, args",
    [
        (obj_to_cbuf, (None, "data", "len")),
        (obj_to_cbuf, ("holder", None, "len")),
        (obj_to_cbuf, ("holder", "data", None)),
        (buf_to_cbuf, (None, "data", "len")),
        (buf_to_cbuf, ("view", None, "len")),
        (buf_to_cbuf, ("view", "data", None)),
        (str_to_cbuf, (None, "len")),
        (str_to_cbuf, ("data", None)),
    ],
)
def test_null_out_pointer_is_an_error_not_a_crash(call, args):
    out = Out()
    refs = {"holder": out.holder, "view": out.view, "data": out.data, "len": out.len}
    pointers = [byref(refs[a]) if a else None for a in args]
    with pytest.raises(SystemError, match="null argument"):
        call(fresh_bytes("abc"), *pointers)
    assert out.untouched()
