// Pickling of AsyncQueue: the bodies of __reduce__, __setstate__ and the
// module function __pyx_unpickle_AsyncQueue. Arguments arrive bound.
#pragma once

#include <Python.h>

#include "pyrt/args.hpp"
#include "pyrt/ref.hpp"

namespace vestrel::corvane {

pyrt::Ref queue_reduce(PyObject *self, pyrt::BoundArgs &args);
pyrt::Ref queue_setstate(PyObject *self, pyrt::BoundArgs &args);
pyrt::Ref unpickle_queue(PyObject *self, pyrt::BoundArgs &args);

}  // namespace vestrel::corvane
