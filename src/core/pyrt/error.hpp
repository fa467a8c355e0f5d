// Errors inside our code travel as C++ exceptions and are converted only at
// the boundary that CPython (or a native caller) reaches.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace vestrel::pyrt {

// Thrown when a C API call failed: the Python error indicator is set.
struct PyErrSet {};

[[noreturn]] inline void throw_set() {
  throw PyErrSet{};
}

// Raises `type` with `msg` and throws.
[[noreturn]] inline void raise(PyObject *type, const char *msg) {
  PyErr_SetString(type, msg);
  throw PyErrSet{};
}

// Checks a new reference returned by the C API.
inline Ref check(PyObject *o) {
  if (!o) throw PyErrSet{};
  return Ref::steal(o);
}

// Checks an int status returned by the C API (-1 means error).
inline int check(int status) {
  if (status == -1 && PyErr_Occurred()) throw PyErrSet{};
  return status;
}

// Converts the exception in flight into a Python error. Call from a catch (...)
// block at a boundary. Standard exceptions map to the closest Python type. The
// forced unwind of a thread the interpreter ends parks that thread instead.
void set_error_from_current_exception() noexcept;

// Runs `f` and converts any exception into a Python error; returns `fail`
// in that case. Use at every entry point that CPython or a native caller can
// reach.
template <class R, class F>
R guarded(R fail, F &&f) noexcept {
  try {
    return f();
  } catch (...) {
    set_error_from_current_exception();
    return fail;
  }
}

}  // namespace vestrel::pyrt
