// AsyncDispatcher's consumer side: setup, the single takes of its method
// table, the reader coroutine and close.
#pragma once

#include <Python.h>

#include "pyrt/args.hpp"
#include "pyrt/ref.hpp"
#include "vestrel/corvane.h"

namespace vestrel::corvane::async {

// Table entries.
void setup(VestrelAsyncDispatcher *self, int override_flag, VestrelSetupOptArgs *opt) noexcept;
PyObject *try_pop(VestrelAsyncDispatcher *self) noexcept;
PyObject *try_pop_var(VestrelAsyncDispatcher *self) noexcept;

// Python-visible bodies: `_reader(loop, sock)` makes the coroutine; `close()`.
pyrt::Ref reader(PyObject *self, pyrt::BoundArgs &args);
pyrt::Ref close(PyObject *self, pyrt::BoundArgs &args);

// Makes the function close schedules to cancel the task; exec step only.
void make_finalizer();

}  // namespace vestrel::corvane::async
