// Driving the iterator a coroutine awaits, as `yield from` does (PEP 380).
// Internal to the coroutine type.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace vestrel::pyrt {

enum class SendResult { next, ret, error };

// The __await__ iterator of `awaitable`, with the interpreter's checks and
// messages; null with the error set when it has none.
Ref awaitable_iterator(PyObject *awaitable) noexcept;

// Sends `arg` into `iter`: next = it yielded `out`; ret = it returned `out`;
// error = it raised (indicator set).
SendResult delegate_send(PyObject *iter, PyObject *arg, Ref &out) noexcept;

// Throws the exception in the error indicator into `iter`. GeneratorExit
// closes the iterator and is then raised here; an iterator without throw()
// gets the exception raised here instead.
SendResult delegate_throw(PyObject *iter, Ref &out) noexcept;

// Builds the exception of throw(type[, value[, traceback]]) into the error
// indicator, with the interpreter's checks; false when the arguments are bad.
bool raise_thrown(PyObject *type, PyObject *value, PyObject *tb) noexcept;

// Our own coroutine type's send and close (see coroutine.cpp).
SendResult coroutine_send(PyObject *coroutine, PyObject *arg, bool thrown, Ref &out) noexcept;
int coroutine_close(PyObject *coroutine) noexcept;

}  // namespace vestrel::pyrt
