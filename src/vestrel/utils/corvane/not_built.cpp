#include "not_built.hpp"

#include "async_dispatcher.hpp"
#include "async_queue.hpp"
#include "class_support.hpp"
#include "pyrt/error.hpp"
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

}  // namespace vestrel::corvane::not_built
