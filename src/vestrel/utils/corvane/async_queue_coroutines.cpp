// AsyncQueue's coroutines (push_buf, push_obj, push_str, pop, __dispatch,
// shutdown) and start_dispatcher, the entry of its method table.
//
// Everything runs on the loop's thread: the pushes are the ring's only
// producer, pop and the dispatch task its consumers. The condition is
// touched only to wake (a push that stored a message) or to wait (a consumer
// that found the ring empty), so a message moves without suspending anyone.
#include "async_queue_coroutines.hpp"

#include <cstddef>
#include <optional>

#include "async_queue.hpp"
#include "pyrt/call.hpp"
#include "pyrt/coroutine.hpp"
#include "reader_steps.hpp"
#include "vestrel/spsc_queue.h"

namespace vestrel::corvane::queue {

namespace {

using pyrt::AsyncWith;
using pyrt::Await;
using pyrt::check;
using pyrt::Co;
using pyrt::CoArgs;
using pyrt::PendingError;
using pyrt::Ref;
using Self = VestrelAsyncQueue;

Self *as_self(PyObject *o) {
  return reinterpret_cast<Self *>(o);
}

// The ring, or a clear error for a queue that has none (made by __new__
// alone, cleared by the collector, or restored without one).
VestrelSPSCQueue *ring_of(Self *self) {
  PyObject *q = self->_q;
  if (q == Py_None || !PyObject_TypeCheck(q, reinterpret_cast<PyTypeObject *>(state.spsc_type)))
    pyrt::raise(PyExc_RuntimeError,
                "AsyncQueue has no ring: it was not initialised with __init__ or was restored "
                "without one");
  return reinterpret_cast<VestrelSPSCQueue *>(q);
}

// One take, copied at once (before anything else can touch the ring); null
// when the ring is empty.
Ref try_pop(Self *self) {
  Ref msg = check(
      take_copy(reinterpret_cast<PyObject *>(ring_of(self)), &VestrelSPSCQueue_VTable::try_take));
  return msg.get() == Py_None ? Ref() : std::move(msg);
}

bool try_put(Self *self, const char *data, std::size_t size) {
  VestrelSPSCQueue *q = ring_of(self);
  return q->vtab->try_put(q, data, size) == VESTREL_RING_STORED;
}

// `async with cond: cond.<method>()` with the exit protocol spelled out.
Co with_condition(Ref cond, const char *method, bool awaited) {
  AsyncWith with(cond.get());
  co_await with.enter();
  std::optional<PendingError> error;
  try {
    Ref r = pyrt::call_method(cond.get(), method);
    if (awaited) co_await Await(std::move(r));
  } catch (...) {
    error.emplace(PendingError::current());
  }
  Ref suppress = co_await with.exit(error ? &*error : nullptr);
  if (error && !check(PyObject_IsTrue(suppress.get()))) error->rethrow();
  co_return Ref::borrow(Py_None);
}

// An interned attribute name, made once.
PyObject *name(const char *text) {
  PyObject *s = PyUnicode_InternFromString(text);
  if (!s) pyrt::throw_set();
  return s;
}

// An instance attribute read straight from the instance dict (asyncio's
// locks keep their state there): a borrowed reference, null when missing.
PyObject *instance_attr(PyObject *dict, PyObject *attr) {
  PyObject *v = PyDict_GetItemWithError(dict, attr);
  if (!v) PyErr_Clear();
  return v;
}

Ref dict_of(PyObject *obj) {
  Ref d = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
  if (!d || !PyDict_Check(d.get())) {
    PyErr_Clear();
    return Ref();
  }
  return d;
}

// True when no waiter future in `waiters` is left to wake (notify() skips
// done ones; a woken waiter stays listed until it runs), or there are none;
// false for anything unexpected.
bool all_woken(PyObject *waiters) {
  static PyObject *const done = name("done");
  const Py_ssize_t n = waiters ? PyObject_Length(waiters) : -1;
  if (n <= 0) {
    if (n < 0) PyErr_Clear();
    return n == 0;  // the usual case, checked without an iterator
  }
  Ref keep = Ref::borrow(waiters);
  Ref it = Ref::steal(PyObject_GetIter(waiters));
  if (!it) {
    PyErr_Clear();
    return false;
  }
  while (Ref fut = Ref::steal(PyIter_Next(it.get()))) {
    Ref r =
        Ref::steal(pyrt::into_python([&] { return PyObject_CallMethodNoArgs(fut.get(), done); }));
    if (r.get() != Py_True) {
      PyErr_Clear();
      return false;
    }
  }
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return true;
}

// True when `async with cond: cond.notify()` would change nothing: asyncio's
// own condition over its own lock, the lock free with nobody queued for it,
// and no waiter on the condition left to wake. The block would take the free
// lock without suspending, notify nobody and give the lock back. Skipping it
// saves most of a push's cost; anything else takes the full handshake.
bool wakeup_is_noop(PyObject *cond) {
  static PyObject *const waiters = name("_waiters"), *const lock_name = name("_lock"),
                         *const locked = name("_locked");
  if (reinterpret_cast<PyObject *>(Py_TYPE(cond)) != state.condition_type) return false;
  Ref cond_dict = dict_of(cond);
  if (!cond_dict || !all_woken(instance_attr(cond_dict.get(), waiters))) return false;
  Ref lock = Ref::borrow(instance_attr(cond_dict.get(), lock_name));
  if (!lock || reinterpret_cast<PyObject *>(Py_TYPE(lock.get())) != state.lock_type) return false;
  Ref lock_dict = dict_of(lock.get());
  if (!lock_dict || instance_attr(lock_dict.get(), locked) != Py_False) return false;
  // Unlike the condition's, the lock's queue must be empty: a free lock with
  // a queue makes a newcomer wait its turn.
  PyObject *queued = instance_attr(lock_dict.get(), waiters);
  if (queued == Py_None) return true;
  const Py_ssize_t n = queued ? PyObject_Length(queued) : -1;
  if (n < 0) PyErr_Clear();
  return n == 0;
}

// The push's wake-up: one waiter at most, and only for a stored message.
Co notify_one(Self *self) {
  Ref cond = Ref::borrow(self->_notify_cond);
  if (wakeup_is_noop(cond.get())) co_return Ref::borrow(Py_None);
  co_return co_await with_condition(std::move(cond), "notify", false);
}

// Holds the converter's view until the push ends, however it ends.
struct BufferView {
  Py_buffer view;
  BufferView() noexcept { view.buf = nullptr; }
  ~BufferView() {
    if (view.buf) PyBuffer_Release(&view);
  }
};

Co push_buf_body(const CoArgs &c) {
  Self *self = as_self(c.self);
  BufferView v;
  const char *data = nullptr;
  std::size_t size = 0;
  if (state.buf_to_cbuf(c.arg[0], &v.view, &data, &size) == -1) pyrt::throw_set();
  if (try_put(self, data, size)) co_await notify_one(self);
  co_return Ref::borrow(Py_None);
}

Co push_obj_body(const CoArgs &c) {
  Self *self = as_self(c.self);
  Ref keep;  // what the converter may hand over to keep the bytes alive
  const char *data = nullptr;
  std::size_t size = 0;
  PyObject *pb = nullptr;
  const int r = state.obj_to_cbuf(c.arg[0], &pb, &data, &size);
  keep = Ref::steal(pb);
  if (r == -1) pyrt::throw_set();
  if (r == 0 && try_put(self, data, size)) co_await notify_one(self);
  co_return Ref::borrow(Py_None);
}

Co push_str_body(const CoArgs &c) {
  Self *self = as_self(c.self);
  const char *data = nullptr;
  std::size_t size = 0;
  const int r = state.str_to_cbuf(c.arg[0], &data, &size);
  if (r == -1) pyrt::throw_set();
  if (r == 0 && try_put(self, data, size)) co_await notify_one(self);
  co_return Ref::borrow(Py_None);
}

Co pop_body(const CoArgs &c) {
  Self *self = as_self(c.self);
  for (;;) {
    if (Ref msg = try_pop(self)) co_return msg;
    // Tried before every wait: a notification given while nobody waited is
    // not remembered.
    co_await with_condition(Ref::borrow(self->_notify_cond), "wait", true);
  }
}

Co dispatch_body(const CoArgs &c) {
  Self *self = as_self(c.self);
  for (;;) {
    if (Ref msg = try_pop(self)) {
      co_await callback_result(self->_callback, msg.get());
      continue;
    }
    co_await with_condition(Ref::borrow(self->_notify_cond), "wait", true);
  }
}

Co shutdown_body(const CoArgs &c) {
  Self *self = as_self(c.self);
  co_await with_condition(Ref::borrow(self->_notify_cond), "notify_all", false);
  Ref task = Ref::borrow(self->_task);
  if (task.get() == Py_None) co_return Ref::borrow(Py_None);
  pyrt::call_method(task.get(), "cancel");
  std::optional<PendingError> error;
  try {
    co_await Await(Ref::borrow(task.get()));
  } catch (...) {
    error.emplace(PendingError::current());
  }
  if (error) {
    Ref asyncio = module_global("asyncio");
    Ref cancelled = check(PyObject_GetAttrString(asyncio.get(), "CancelledError"));
    const int is_cancel = PyObject_IsSubclass(error->type(), cancelled.get());
    if (is_cancel < 0) pyrt::throw_set();
    if (!is_cancel) error->rethrow();
  }
  co_return Ref::borrow(Py_None);
}

}  // namespace

PyObject *start_dispatcher(Self *self, PyObject *callback, int override_flag) noexcept {
  return pyrt::guarded<PyObject *>(nullptr, [&]() -> PyObject * {
    if (override_flag == 0) {
      Ref r = call_override(reinterpret_cast<PyObject *>(self), "start_dispatcher",
                            spec_of(async_queue_class(), "start_dispatcher"), {callback});
      if (r) return r.release();
    }
    set_field(self->_callback, Ref::borrow(callback));
    Ref coro = pyrt::call_method(reinterpret_cast<PyObject *>(self), "_AsyncQueue__dispatch");
    Ref task = pyrt::call_method(self->_loop, "create_task", coro.get());
    set_field(self->_task, std::move(task));
    return Ref::borrow(Py_None).release();
  });
}

#define COROUTINE(name, body, ...)                                      \
  Ref name(PyObject *self, pyrt::BoundArgs &a) {                        \
    return pyrt::make_coroutine(a.function, self, {__VA_ARGS__}, body); \
  }

COROUTINE(push_buf, push_buf_body, a[0].obj)
COROUTINE(push_obj, push_obj_body, a[0].obj)
COROUTINE(push_str, push_str_body, a[0].obj)
COROUTINE(pop, pop_body)
COROUTINE(dispatch, dispatch_body)
COROUTINE(shutdown, shutdown_body, a.rest.get())

#undef COROUTINE

}  // namespace vestrel::corvane::queue
