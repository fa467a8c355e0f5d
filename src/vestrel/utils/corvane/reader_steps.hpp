// What every reader does with one message, whatever wakes it: take it out of
// the ring as a bytes copy, then hand it to the dispatcher's current
// callback (read afresh for each message, and held for the call: the
// callback may replace it, or drop the last reference to the dispatcher).
#pragma once

#include <Python.h>

#include "pyrt/call.hpp"
#include "pyrt/coroutine.hpp"
#include "pyrt/ref.hpp"
#include "vestrel/spsc_queue.h"

namespace vestrel::corvane {

// One take from the ring object `q` with `op` (try_take or try_take_var): a
// new bytes object holding a copy, None when the ring is empty, null with
// the error set when the copy cannot be made.
using RingTake = VestrelSPSCQueue_TakeFn VestrelSPSCQueue_VTable::*;
PyObject *take_copy(PyObject *q, RingTake op) noexcept;

// callback(msg); throws PyErrSet when it raised.
inline pyrt::Ref call_callback(PyObject *callback, PyObject *msg) {
  pyrt::Ref held = pyrt::Ref::borrow(callback);
  return pyrt::call_one(held.get(), msg);
}

// `co_await callback_result(...)`: callback(msg), and its result awaited.
// Nothing of the call is held across the await, where the collector could
// not see it.
inline pyrt::Await callback_result(PyObject *callback, PyObject *msg) {
  return pyrt::Await(call_callback(callback, msg));
}

}  // namespace vestrel::corvane
