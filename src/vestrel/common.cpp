// vestrel.common: the converters that turn a Python message into a pointer and
// a byte length. They are C functions, reached by other extension modules
// (AsyncQueue's pushes, producer modules) through the capsules in
// `__pyx_capi__`, each capsule named by the function's signature text so that
// an importer can check the type it casts to.
//
// Shared contract: called with the GIL held; result -1 means a Python
// exception is set and the out-parameters were not written (buf_to_cbuf
// additionally leaves `view->buf` and `view->obj` null: no export to release).
// On success `*data` is never null, also for zero-length messages.

#include <Python.h>

#include <cstddef>

#include "pyrt/error.hpp"
#include "pyrt/ref.hpp"

namespace {

using vestrel::pyrt::guarded;
using vestrel::pyrt::raise;
using vestrel::pyrt::Ref;
using vestrel::pyrt::throw_set;

// Where a zero-length message points, so that callers never see a null pointer.
const char kEmpty[] = "";

[[noreturn]] void raise_expected(const char *what, PyObject *msg) {
  PyErr_Format(PyExc_TypeError, "expected %s, got %.200s", what, Py_TYPE(msg)->tp_name);
  throw_set();
}

// A native caller could hand us anything; null arguments are refused rather
// than dereferenced.
void require_args(bool ok, const char *fn) {
  if (!ok) {
    PyErr_Format(PyExc_SystemError, "%s: null argument", fn);
    throw_set();
  }
}

// UTF-8 of a str; the bytes are cached inside the str and live as long as it.
void utf8_of(PyObject *msg, const char **data, size_t *len) {
  Py_ssize_t n = 0;
  const char *p = PyUnicode_AsUTF8AndSize(msg, &n);
  if (!p) throw_set();
  *data = p;
  *len = static_cast<size_t>(n);
}

// Checks a view obtained from an exporter: its bytes must be the message in
// order, and it must describe memory we can hand out as (pointer, length).
void check_view(const Py_buffer *view, PyObject *msg) {
  if (!PyBuffer_IsContiguous(view, 'C')) {
    PyErr_Format(PyExc_TypeError, "expected a C-contiguous buffer, got a non-contiguous %.200s",
                 Py_TYPE(msg)->tp_name);
    throw_set();
  }
  if (view->len < 0 || (view->buf == nullptr && view->len != 0))
    raise(PyExc_BufferError, "buffer exporter returned an invalid view");
}

const char *data_of(const Py_buffer *view) {
  return view->buf ? static_cast<const char *>(view->buf) : kEmpty;
}

// Accepts bytes, str (as UTF-8) and any C-contiguous buffer exporter. `*holder`
// receives a new reference that keeps (data, len) valid: the bytes or str
// itself, or a memoryview whose export pins a mutable exporter (a bytearray
// cannot be resized while it is held). Declines None with 1 and writes
// nothing; the caller then sends nothing.
int obj_to_cbuf_impl(PyObject *msg, PyObject **holder, const char **data, size_t *len) {
  require_args(msg && holder && data && len, "obj_to_cbuf");
  if (msg == Py_None) return 1;
  if (PyBytes_Check(msg)) {
    *data = PyBytes_AS_STRING(msg);
    *len = static_cast<size_t>(PyBytes_GET_SIZE(msg));
    *holder = Ref::borrow(msg).release();
    return 0;
  }
  if (PyUnicode_Check(msg)) {
    utf8_of(msg, data, len);
    *holder = Ref::borrow(msg).release();
    return 0;
  }
  if (!PyObject_CheckBuffer(msg)) raise_expected("a bytes-like object or str", msg);
  Ref view = vestrel::pyrt::check(PyMemoryView_FromObject(msg));
  const Py_buffer *b = PyMemoryView_GET_BUFFER(view.get());
  check_view(b, msg);
  *data = data_of(b);
  *len = static_cast<size_t>(b->len);
  *holder = view.release();
  return 0;
}

// Takes an export of any C-contiguous buffer into `*view`; the caller releases
// it with PyBuffer_Release once done with (data, len), if `view->buf` is not
// null. An exporter may describe an empty buffer with a null pointer: that
// export is released here, `view->buf` stays null, and (data, len) is
// (non-null, 0), so the caller's rule still holds.
int buf_to_cbuf_impl(PyObject *msg, Py_buffer *view, const char **data, size_t *len) {
  require_args(msg && view && data && len, "buf_to_cbuf");
  if (!PyObject_CheckBuffer(msg)) raise_expected("a bytes-like object", msg);
  // Ask for everything the exporter can describe, then check the layout
  // ourselves: a narrower request would let exporters fail with their own
  // error types for layouts we reject anyway.
  if (PyObject_GetBuffer(msg, view, PyBUF_FULL_RO) != 0) throw_set();
  try {
    check_view(view, msg);
  } catch (...) {
    PyBuffer_Release(view);
    throw;
  }
  if (!view->buf) PyBuffer_Release(view);
  *data = data_of(view);
  *len = static_cast<size_t>(view->len);
  return 0;
}

// Accepts str only; (data, len) is its UTF-8, owned by the str.
int str_to_cbuf_impl(PyObject *msg, const char **data, size_t *len) {
  require_args(msg && data && len, "str_to_cbuf");
  if (!PyUnicode_Check(msg)) raise_expected("str", msg);
  utf8_of(msg, data, len);
  return 0;
}

}  // namespace

// The exported entries: C linkage for C callers, and no C++ exception ever
// leaves them.
extern "C" {

static int obj_to_cbuf(PyObject *msg, PyObject **holder, const char **data, size_t *len) noexcept {
  return guarded(-1, [&] { return obj_to_cbuf_impl(msg, holder, data, len); });
}

static int buf_to_cbuf(PyObject *msg, Py_buffer *view, const char **data, size_t *len) noexcept {
  int r = guarded(-1, [&] { return buf_to_cbuf_impl(msg, view, data, len); });
  if (r == -1 && view) {
    // A failing exporter may leave a stale pointer behind (memoryview does);
    // the caller must read "nothing to release".
    view->buf = nullptr;
    view->obj = nullptr;
  }
  return r;
}

static int str_to_cbuf(PyObject *msg, const char **data, size_t *len) noexcept {
  return guarded(-1, [&] { return str_to_cbuf_impl(msg, data, len); });
}

}  // extern "C"

namespace {

struct Export {
  const char *name;
  const char *signature;  // also the capsule name: must outlive the capsule
  void *fn;
};

const Export kExports[] = {
    {"obj_to_cbuf", "int (PyObject *, PyObject **, char const **, size_t *)",
     reinterpret_cast<void *>(&obj_to_cbuf)},
    {"buf_to_cbuf", "int (PyObject *, Py_buffer *, char const **, size_t *)",
     reinterpret_cast<void *>(&buf_to_cbuf)},
    {"str_to_cbuf", "int (PyObject *, char const **, size_t *)",
     reinterpret_cast<void *>(&str_to_cbuf)},
};

int exec_common(PyObject *module) noexcept {
  return guarded(-1, [&] {
    Ref capi = vestrel::pyrt::check(PyDict_New());
    for (const Export &e : kExports) {
      Ref capsule = vestrel::pyrt::check(PyCapsule_New(e.fn, e.signature, nullptr));
      vestrel::pyrt::check(PyDict_SetItemString(capi.get(), e.name, capsule.get()));
    }
    vestrel::pyrt::check(PyModule_AddObject(module, "__pyx_capi__", capi.get()));
    capi.release();  // stolen by PyModule_AddObject on success
    return 0;
  });
}

PyModuleDef_Slot common_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(&exec_common)},
#if PY_VERSION_HEX >= 0x030C0000
    // No state and no Python objects of our own: safe in any interpreter.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef common_def = {
    PyModuleDef_HEAD_INIT,
    "common",
    "Buffer converters for native callers, exported as capsules in __pyx_capi__.",
    0,
    nullptr,
    common_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_common() {
  return PyModuleDef_Init(&common_def);
}
