// Bodies that are not built yet. Everything here is a placeholder to be
// replaced by the real behaviour; nothing else in the module stands in for
// missing work. The Python-visible ones raise NotImplementedError("<name> not
// built yet"); AsyncDispatcher's close does nothing (there is nothing to
// release before setup exists), so that destruction stays quiet.
#pragma once

#include <Python.h>

#include "pyrt/args.hpp"
#include "pyrt/ref.hpp"
#include "vestrel/corvane.h"

namespace vestrel::corvane::not_built {

// AsyncDispatcher table entries and Python-only bodies.
void async_setup(VestrelAsyncDispatcher *self, int override_flag, VestrelSetupOptArgs *opt);
PyObject *async_try_pop(VestrelAsyncDispatcher *self);
PyObject *async_try_pop_var(VestrelAsyncDispatcher *self);
pyrt::Ref async_reader(PyObject *self, pyrt::BoundArgs &args);  // coroutine
pyrt::Ref async_close(PyObject *self, pyrt::BoundArgs &args);

}  // namespace vestrel::corvane::not_built
