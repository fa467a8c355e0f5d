#include "not_built.hpp"

#include "async_dispatcher.hpp"
#include "async_queue.hpp"
#include "class_support.hpp"
#include "pyrt/error.hpp"
#include "sync_dispatcher.hpp"
#include "threaded_dispatcher.hpp"
#include "vestrel/spsc_queue.h"

namespace vestrel::corvane::not_built {

using pyrt::guarded;
using pyrt::Ref;

namespace {

[[noreturn]] void raise_not_built(const char *what) {
  PyErr_Format(PyExc_NotImplementedError, "%s not built yet", what);
  throw pyrt::PyErrSet{};
}

// A table entry with an override flag: a Python subclass's override runs
// instead of the (missing) body when the flag is 0.
template <class F>
void entry(PyObject *self, int override_flag, const char *name, const pyrt::FunctionSpec &own,
           F &&body) noexcept {
  guarded(0, [&] {
    if (override_flag == 0 && call_override(self, name, own, {})) return 0;
    body();
    return 0;
  });
}

PyObject *as_obj(void *o) {
  return static_cast<PyObject *>(o);
}

}  // namespace

void async_setup(VestrelAsyncDispatcher *self, int flag, VestrelSetupOptArgs *) {
  entry(as_obj(self), flag, "setup", spec_of(async_dispatcher_class(), "setup"),
        [] { raise_not_built("AsyncDispatcher.setup"); });
}
void async_push(VestrelAsyncDispatcher *, const char *, size_t) {}
void async_push_var(VestrelAsyncDispatcher *, const char *, size_t) {}
PyObject *async_try_pop(VestrelAsyncDispatcher *) {
  return guarded<PyObject *>(nullptr,
                             []() -> PyObject * { raise_not_built("AsyncDispatcher._try_pop"); });
}
PyObject *async_try_pop_var(VestrelAsyncDispatcher *) {
  return guarded<PyObject *>(
      nullptr, []() -> PyObject * { raise_not_built("AsyncDispatcher._try_pop_var"); });
}
Ref async_reader(PyObject *, pyrt::BoundArgs &) {
  raise_not_built("AsyncDispatcher._reader coroutine");
}
Ref async_close(PyObject *, pyrt::BoundArgs &) {
  return Ref::borrow(Py_None);
}

void sync_setup(VestrelSyncDispatcher *self, int flag, VestrelSetupOptArgs *) {
  entry(as_obj(self), flag, "setup", spec_of(sync_dispatcher_class(), "setup"),
        [] { raise_not_built("SyncDispatcher.setup"); });
}
void sync_push(VestrelSyncDispatcher *, const char *, size_t) {}
void sync_push_var(VestrelSyncDispatcher *, const char *, size_t) {}
void sync_try_pop(VestrelSyncDispatcher *self, int flag) {
  entry(as_obj(self), flag, "_try_pop", spec_of(sync_dispatcher_class(), "_try_pop"),
        [] { raise_not_built("SyncDispatcher._try_pop"); });
}
void sync_try_pop_var(VestrelSyncDispatcher *self, int flag) {
  entry(as_obj(self), flag, "_try_pop_var", spec_of(sync_dispatcher_class(), "_try_pop_var"),
        [] { raise_not_built("SyncDispatcher._try_pop_var"); });
}
PyObject *sync_take_one(VestrelSyncDispatcher *) {
  return guarded<PyObject *>(nullptr,
                             []() -> PyObject * { raise_not_built("SyncDispatcher.__try_pop"); });
}
PyObject *sync_take_one_var(VestrelSyncDispatcher *) {
  return guarded<PyObject *>(
      nullptr, []() -> PyObject * { raise_not_built("SyncDispatcher.__try_pop_var"); });
}
void sync_close(VestrelSyncDispatcher *self, int flag) {
  entry(as_obj(self), flag, "close", spec_of(sync_dispatcher_class(), "close"), [] {});
}

int threaded_push(VestrelThreadedDispatcher *, const char *, size_t) {
  return VESTREL_RING_STOPPED;
}
int threaded_push_var(VestrelThreadedDispatcher *, const char *, size_t) {
  return VESTREL_RING_STOPPED;
}
void threaded_reader(VestrelThreadedDispatcher *) {}
void threaded_reader_var(VestrelThreadedDispatcher *) {}
void threaded_setup(VestrelThreadedDispatcher *self, int flag) {
  entry(as_obj(self), flag, "setup", spec_of(threaded_dispatcher_class(), "setup"),
        [] { raise_not_built("ThreadedDispatcher.setup"); });
}
void threaded_close(VestrelThreadedDispatcher *self, int flag) {
  entry(as_obj(self), flag, "close", spec_of(threaded_dispatcher_class(), "close"), [] {});
}

PyObject *queue_start_dispatcher(VestrelAsyncQueue *self, PyObject *callback, int flag) {
  return guarded<PyObject *>(nullptr, [&]() -> PyObject * {
    if (flag == 0) {
      Ref r = call_override(as_obj(self), "start_dispatcher",
                            spec_of(async_queue_class(), "start_dispatcher"), {callback});
      if (r) return r.release();
    }
    raise_not_built("AsyncQueue.start_dispatcher");
  });
}
Ref queue_coroutine(PyObject *, pyrt::BoundArgs &) {
  raise_not_built("AsyncQueue coroutine");
}
Ref queue_reduce(PyObject *, pyrt::BoundArgs &) {
  raise_not_built("AsyncQueue.__reduce__");
}
Ref queue_setstate(PyObject *, pyrt::BoundArgs &) {
  raise_not_built("AsyncQueue.__setstate__");
}
Ref unpickle_queue(PyObject *, pyrt::BoundArgs &) {
  raise_not_built("__pyx_unpickle_AsyncQueue");
}

}  // namespace vestrel::corvane::not_built
