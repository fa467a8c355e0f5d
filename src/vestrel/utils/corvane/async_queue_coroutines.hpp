// AsyncQueue's coroutines and its method-table entry start_dispatcher.
#pragma once

#include <Python.h>

#include "pyrt/args.hpp"
#include "pyrt/ref.hpp"
#include "vestrel/corvane.h"

namespace vestrel::corvane::queue {

PyObject *start_dispatcher(VestrelAsyncQueue *self, PyObject *callback, int override_flag) noexcept;

// The Python-visible coroutine functions: each returns a new coroutine.
pyrt::Ref push_buf(PyObject *self, pyrt::BoundArgs &args);
pyrt::Ref push_obj(PyObject *self, pyrt::BoundArgs &args);
pyrt::Ref push_str(PyObject *self, pyrt::BoundArgs &args);
pyrt::Ref pop(PyObject *self, pyrt::BoundArgs &args);
pyrt::Ref dispatch(PyObject *self, pyrt::BoundArgs &args);
pyrt::Ref shutdown(PyObject *self, pyrt::BoundArgs &args);

}  // namespace vestrel::corvane::queue
