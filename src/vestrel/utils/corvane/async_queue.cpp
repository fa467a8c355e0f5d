// AsyncQueue: its type slots, __init__, method table and the Python-visible
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

VestrelAsyncQueue_VTable vtable = {queue::start_dispatcher};

PyTypeObject type{};

Self *as_self(PyObject *o) {
  return reinterpret_cast<Self *>(o);
}

// ------------------------------------------------------------ construction

PyObject *tp_new(PyTypeObject *t, PyObject *, PyObject *) noexcept {
  // Arguments belong to __init__: a blank instance (all fields None) is what
  // unpickling starts from.
  return pyrt::guarded<PyObject *>(nullptr, [&] {
    return alloc_instance<Self>(t, &vtable,
                                {&Self::_q, &Self::_loop, &Self::_callback, &Self::_lock,
                                 &Self::_notify_cond, &Self::_task})
        .release();
  });
}

const pyrt::Param kInitParams[] = {
    {"loop"},
    {"slot_size", ArgKind::size, 1024},
    {"capacity", ArgKind::size, 16384},
    {"overwrite", ArgKind::flag},
    {"zerocopy", ArgKind::flag},
    {"block_on_full", ArgKind::flag},
};
const pyrt::Signature kInit{"__init__", kInitParams, 6, 0};
const int kInitLine = __LINE__;

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

void construct(Self *self, PyObject *args, PyObject *kwds) {
  BoundArgs a;
  pyrt::bind(kInit, args, kwds, a);
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

int tp_init(PyObject *o, PyObject *args, PyObject *kwds) noexcept {
  try {
    construct(as_self(o), args, kwds);
    return 0;
  } catch (...) {
    pyrt::set_error_from_current_exception();
    pyrt::add_traceback("vestrel.utils.corvane.corvane.AsyncQueue.__init__", kSourceFile,
                        kInitLine);
    return -1;
  }
}

// ------------------------------------------------------------ type slots

using Fields = ObjectFields<Self, &Self::_q, &Self::_loop, &Self::_callback, &Self::_lock,
                            &Self::_notify_cond, &Self::_task>;

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

#define QUALIFIED(name) "vestrel.utils.corvane.corvane.AsyncQueue." name

Method methods[] = {
    {{"start_dispatcher",
      "AsyncQueue.start_dispatcher",
      "AsyncQueue.start_dispatcher(self, callback)",
      QUALIFIED("start_dispatcher"),
      {"start_dispatcher", kCallback, 1, 1},
      py_start_dispatcher,
      &type,
      false,
      __LINE__}},
    {{"push_buf",
      "AsyncQueue.push_buf",
      "AsyncQueue.push_buf(self, msg)",
      QUALIFIED("push_buf"),
      {"push_buf", kMsg, 1, 1},
      queue::push_buf,
      &type,
      true,
      __LINE__}},
    {{"push_obj",
      "AsyncQueue.push_obj",
      "AsyncQueue.push_obj(self, msg)",
      QUALIFIED("push_obj"),
      {"push_obj", kMsg, 1, 1},
      queue::push_obj,
      &type,
      true,
      __LINE__}},
    {{"push_str",
      "AsyncQueue.push_str",
      "AsyncQueue.push_str(self, msg)",
      QUALIFIED("push_str"),
      {"push_str", kMsg, 1, 1},
      queue::push_str,
      &type,
      true,
      __LINE__}},
    {{"pop",
      "AsyncQueue.pop",
      "AsyncQueue.pop(self)",
      QUALIFIED("pop"),
      {"pop"},
      queue::pop,
      &type,
      true,
      __LINE__}},
    {{"__dispatch",
      "AsyncQueue.__dispatch",
      "AsyncQueue.__dispatch(self)",
      QUALIFIED("__dispatch"),
      {"__dispatch"},
      queue::dispatch,
      &type,
      true,
      __LINE__}},
    {{"shutdown",
      "AsyncQueue.shutdown",
      "AsyncQueue.shutdown(self, *excinfo)",
      QUALIFIED("shutdown"),
      {"shutdown", nullptr, 0, 0, true},
      queue::shutdown,
      &type,
      true,
      __LINE__}},
};

Method reduce = {{"__reduce__", "AsyncQueue.__reduce__", nullptr, QUALIFIED("__reduce__"),
                  kReduceSig, queue_reduce, &type, false, __LINE__}};
Method setstate = {{"__setstate__", "AsyncQueue.__setstate__", nullptr, QUALIFIED("__setstate__"),
                    kSetstateSig, queue_setstate, &type, false, __LINE__}};

#undef QUALIFIED

Method unpickle[] = {
    {{"__pyx_unpickle_AsyncQueue",
      "__pyx_unpickle_AsyncQueue",
      "__pyx_unpickle_AsyncQueue(__pyx_type, long __pyx_checksum, tuple __pyx_state)",
      "vestrel.utils.corvane.corvane.__pyx_unpickle_AsyncQueue",
      {"__pyx_unpickle_AsyncQueue", kUnpickleParams, 3, 3},
      unpickle_queue,
      nullptr,
      false,
      __LINE__}},
};

ClassDef def = {"AsyncQueue", &type, &vtable, methods, &reduce, &setstate};

}  // namespace

const char kDoc[] =
    "AsyncQueue(loop=None, size_t slot_size=1024, size_t capacity=16384, bool "
    "overwrite=False, bool zerocopy=False, bool block_on_full=False)";

ClassDef &async_queue_class() {
  fill_type(type, {"vestrel.utils.corvane.corvane.AsyncQueue", sizeof(Self), tp_dealloc,
                   Fields::traverse, Fields::clear, tp_new, nullptr, tp_init, kDoc});
  return def;
}

Method &unpickle_function() {
  return unpickle[0];
}

}  // namespace vestrel::corvane
