// What every reader does with one message, whatever wakes it: take it out of
// the ring as a bytes copy (or, with batches, a list of them), then hand it
// to the dispatcher's current callback (read afresh for each call, and held
// for it: the callback may replace it, or drop the last reference to the
// dispatcher).
#pragma once

#include <Python.h>

#include "dispatcher_private.hpp"
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

// What the reader hands the callback next: one message (bytes), or with
// batches a list of up to `batch` of them; None when the ring is empty.
// `take()` is one take: a new bytes, None, or null with the error set.
template <class Take>
pyrt::Ref take_for_callback(Private &p, Take &&take) {
  if (p.batch == 0) {
    pyrt::Ref msg = pyrt::check(take());
    if (msg.get() != Py_None) count(p.delivered);
    return msg;
  }
  pyrt::Ref list;
  for (std::size_t i = 0; i < p.batch; ++i) {
    pyrt::Ref msg = pyrt::check(take());
    if (msg.get() == Py_None) break;
    if (!list) list = pyrt::check(PyList_New(0));
    pyrt::check(PyList_Append(list.get(), msg.get()));
  }
  if (!list) return pyrt::Ref::borrow(Py_None);
  count(p.delivered, static_cast<std::uint64_t>(PyList_GET_SIZE(list.get())));
  return list;
}

// The same, and when the ring is empty and idle wakes are in force, the
// announcement and the re-check before the reader may wait: None means
// "wait now" (dispatcher_private.hpp).
template <class Take>
pyrt::Ref take_or_announce(Private &p, Take &&take) {
  pyrt::Ref next = take_for_callback(p, take);
  if (next.get() != Py_None || !p.idle.enabled) return next;
  count(p.announced_waits);
  announce_wait(p.idle);
  next = take_for_callback(p, take);
  if (next.get() != Py_None) withdraw_wait(p.idle);
  return next;
}

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
