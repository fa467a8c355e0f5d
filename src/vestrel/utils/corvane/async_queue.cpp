// AsyncQueue: its type, __init__, method table and the Python-visible
// functions, and the module-level rebuild function of its pickles.
#include "async_queue.hpp"

#include <cstddef>

#include "async_queue_coroutines.hpp"
#include "async_queue_pickle.hpp"
#include "pyrt/call.hpp"
#include "pyrt/error.hpp"
#include "pyrt/traceback.hpp"
#include "vestrel/corvane.h"

namespace vestrel::corvane {

namespace {

using pyrt::ArgKind;
using pyrt::BoundArgs;
using pyrt::check;
using pyrt::Ref;
using Self = VestrelAsyncQueue;

static_assert(offsetof(Self, vtab) == sizeof(PyObject));
static_assert(offsetof(Self, _q) == sizeof(PyObject) + 8);
static_assert(offsetof(Self, _loop) == offsetof(Self, _q) + 8);
static_assert(offsetof(Self, _callback) == offsetof(Self, _loop) + 8);
static_assert(offsetof(Self, _lock) == offsetof(Self, _callback) + 8);
static_assert(offsetof(Self, _notify_cond) == offsetof(Self, _lock) + 8);
static_assert(offsetof(Self, _task) == offsetof(Self, _notify_cond) + 8);

VestrelAsyncQueue_VTable vtable = {.start_dispatcher = queue::start_dispatcher};

PyTypeObject type{};

Self *as_self(PyObject *o) {
  return reinterpret_cast<Self *>(o);
}

using Fields = ObjectFields<Self, &Self::_q, &Self::_loop, &Self::_callback, &Self::_lock,
                            &Self::_notify_cond, &Self::_task>;

// ------------------------------------------------------------ construction
//
// Arguments belong to __init__: tp_new makes a blank instance (all fields
// None), which is what unpickling starts from.

const pyrt::Param kInitParams[] = {
    {"loop"},
    {"slot_size", ArgKind::size, 1024},
    {"capacity", ArgKind::size, 16384},
    {"overwrite", ArgKind::flag},
    {"zerocopy", ArgKind::flag},
    {"block_on_full", ArgKind::flag},
};
const pyrt::Signature kInit{.name = "__init__", .params = kInitParams, .nparams = 6};

// Raises RuntimeError(msg) with the pending exception as its context, as a
// raise inside an except block would.
[[noreturn]] void raise_in_context(const char *msg) {
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  Ref type = Ref::steal(t), cause = Ref::steal(v), trace = Ref::steal(tb);
  if (trace) PyException_SetTraceback(cause.get(), trace.get());
  PyErr_SetString(PyExc_RuntimeError, msg);
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  PyException_SetContext(v, cause.release());
  PyErr_Restore(t, v, tb);
  throw pyrt::PyErrSet{};
}

const int kInitLine = __LINE__ + 1;
void construct(PyObject *o, BoundArgs &a) {
  Self *self = as_self(o);
  Ref q = check(PyObject_CallFunctionObjArgs(
      state.spsc_type, size_obj(a[1].size).get(), size_obj(a[2].size).get(),
      bool_obj(a[3].flag).get(), bool_obj(a[4].flag).get(), bool_obj(a[5].flag).get(), nullptr));
  set_field(self->_q, std::move(q));
  Ref asyncio = module_global("asyncio");
  Ref lock = pyrt::call_method(asyncio.get(), "Lock");
  set_field(self->_lock, Ref::borrow(lock.get()));
  set_field(self->_notify_cond, pyrt::call_method(asyncio.get(), "Condition", lock.get()));
  if (a[0].given() && a[0].obj != Py_None) {
    set_field(self->_loop, Ref::borrow(a[0].obj));
    return;
  }
  Ref loop = Ref::steal(pyrt::into_python(
      [&] { return PyObject_CallMethod(asyncio.get(), "get_running_loop", nullptr); }));
  if (!loop) {
    if (PyErr_ExceptionMatches(PyExc_RuntimeError))
      raise_in_context("AsyncQueue must be created inside a running event loop.");
    pyrt::throw_set();
  }
  set_field(self->_loop, std::move(loop));
}

// ------------------------------------------------------------ type slots

void tp_dealloc(PyObject *o) noexcept {
  PyObject_GC_UnTrack(o);
  Self *self = as_self(o);
  Fields::release(self);
  Py_TYPE(o)->tp_free(o);
}

// ------------------------------------------------------------ Python methods

Ref py_start_dispatcher(PyObject *o, BoundArgs &a) {
  Ref r = Ref::steal(as_self(o)->vtab->start_dispatcher(as_self(o), a[0].obj, 1));
  if (!r) pyrt::throw_set();
  return r;
}

const pyrt::Param kCallback[] = {{"callback"}};
const pyrt::Param kMsg[] = {{"msg"}};
const pyrt::Param kUnpickleParams[] = {
    {"__pyx_type"},
    {"__pyx_checksum", ArgKind::int32},
    {"__pyx_state", ArgKind::tuple_or_none},
};

Method methods[] = {
    {.name = "start_dispatcher",
     .line = __LINE__,
     .doc = "AsyncQueue.start_dispatcher(self, callback)",
     .sig = {.params = kCallback, .nparams = 1, .nrequired = 1},
     .body = py_start_dispatcher},
    {.name = "push_buf",
     .line = __LINE__,
     .doc = "AsyncQueue.push_buf(self, msg)",
     .sig = {.params = kMsg, .nparams = 1, .nrequired = 1},
     .body = queue::push_buf,
     .kind = Kind::coroutine},
    {.name = "push_obj",
     .line = __LINE__,
     .doc = "AsyncQueue.push_obj(self, msg)",
     .sig = {.params = kMsg, .nparams = 1, .nrequired = 1},
     .body = queue::push_obj,
     .kind = Kind::coroutine},
    {.name = "push_str",
     .line = __LINE__,
     .doc = "AsyncQueue.push_str(self, msg)",
     .sig = {.params = kMsg, .nparams = 1, .nrequired = 1},
     .body = queue::push_str,
     .kind = Kind::coroutine},
    {.name = "pop",
     .line = __LINE__,
     .doc = "AsyncQueue.pop(self)",
     .body = queue::pop,
     .kind = Kind::coroutine},
    {.name = "__dispatch",
     .line = __LINE__,
     .doc = "AsyncQueue.__dispatch(self)",
     .body = queue::dispatch,
     .kind = Kind::coroutine},
    {.name = "shutdown",
     .line = __LINE__,
     .doc = "AsyncQueue.shutdown(self, *excinfo)",
     .sig = {.varargs = true},
     .body = queue::shutdown,
     .kind = Kind::coroutine},
};

Method unpickle[] = {
    {.name = "__pyx_unpickle_AsyncQueue",
     .line = __LINE__,
     .doc = "__pyx_unpickle_AsyncQueue(__pyx_type, long __pyx_checksum, tuple __pyx_state)",
     .sig = {.params = kUnpickleParams, .nparams = 3, .nrequired = 3},
     .body = unpickle_queue,
     .file = source_path(__FILE__)},
};

}  // namespace

const char kDoc[] =
    "AsyncQueue(loop=None, size_t slot_size=1024, size_t capacity=16384, bool "
    "overwrite=False, bool zerocopy=False, bool block_on_full=False)";

ClassDef queue_def = {
    .short_name = "AsyncQueue",
    .file = source_path(__FILE__),
    .type = &type,
    .vtable = &vtable,
    .reset_fields = Fields::clear,
    .constructor = {.sig = &kInit, .body = construct, .line = kInitLine},
    .methods = methods,
    .reduce = {.name = "__reduce__", .line = __LINE__, .sig = kReduceSig, .body = queue_reduce},
    .setstate = {.name = "__setstate__",
                 .line = __LINE__,
                 .sig = kSetstateSig,
                 .body = queue_setstate},
    .slots = {.basicsize = sizeof(Self),
              .dealloc = tp_dealloc,
              .traverse = Fields::traverse,
              .new_ = class_new_blank<queue_def>,
              .init = class_init<queue_def>,
              .doc = kDoc},
};

ClassDef &async_queue_class() {
  return queue_def;
}

Method &unpickle_function() {
  return unpickle[0];
}

}  // namespace vestrel::corvane
