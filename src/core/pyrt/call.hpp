// Calls from our code into Python code. Each one may run bytecode and so take
// the GIL back: it goes through into_python (exit_unwind.hpp). A call that
// raised throws PyErrSet.
#pragma once

#include <Python.h>

#include <initializer_list>

#include "error.hpp"
#include "exit_unwind.hpp"
#include "ref.hpp"

namespace vestrel::pyrt {

// The most positional arguments `call` passes.
inline constexpr std::size_t kMaxCallArgs = 8;

// `callable(args...)`; at most kMaxCallArgs arguments.
Ref call(PyObject *callable, std::initializer_list<PyObject *> args);

// `callable(arg)`.
inline Ref call_one(PyObject *callable, PyObject *arg) {
  return check(into_python([&] { return PyObject_CallOneArg(callable, arg); }));
}

// `callable(*args, **kwargs)`; `kwargs` may be null.
inline Ref call_tuple(PyObject *callable, PyObject *args, PyObject *kwargs) {
  return check(into_python([&] { return PyObject_Call(callable, args, kwargs); }));
}

// `obj.name(args...)`.
template <class... A>
Ref call_method(PyObject *obj, const char *name, A... args) {
  Ref key = check(PyUnicode_InternFromString(name));
  return check(
      into_python([&] { return PyObject_CallMethodObjArgs(obj, key.get(), args..., nullptr); }));
}

// `obj.name`; an attribute may be computed by Python code too.
inline Ref attr(PyObject *obj, const char *name) {
  return check(into_python([&] { return PyObject_GetAttrString(obj, name); }));
}

// Takes the GIL back after PyEval_SaveThread.
inline void restore_thread(PyThreadState *state) noexcept {
  into_python([&] { PyEval_RestoreThread(state); });
}

}  // namespace vestrel::pyrt
