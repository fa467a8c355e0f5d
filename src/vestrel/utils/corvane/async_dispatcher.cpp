// AsyncDispatcher: its type slots, constructor, method table and the thin
// Python-visible bindings over the table's entries.
#include "async_dispatcher.hpp"

#include <cstddef>

#include "async_reader.hpp"
#include "dispatcher_push.hpp"
#include "platform/wake.hpp"
#include "pyrt/error.hpp"
#include "pyrt/exit_unwind.hpp"
#include "pyrt/traceback.hpp"
#include "vestrel/corvane.h"

namespace vestrel::corvane {

namespace {

using pyrt::ArgKind;
using pyrt::BoundArgs;
using pyrt::Ref;
using Self = VestrelAsyncDispatcher;

static_assert(offsetof(Self, vtab) == sizeof(PyObject));
static_assert(offsetof(Self, _q) == sizeof(PyObject) + 8);
static_assert(offsetof(Self, _fd) == offsetof(Self, _q) + 8);
static_assert(offsetof(Self, _addr) == offsetof(Self, _fd) + 8);
static_assert(offsetof(Self, _push_fn) == offsetof(Self, _addr) + 16);
static_assert(offsetof(Self, _pop_fn) == offsetof(Self, _push_fn) + 8);
static_assert(offsetof(Self, _callback) == offsetof(Self, _pop_fn) + 8);
static_assert(offsetof(Self, _sock) == offsetof(Self, _callback) + 8);
static_assert(offsetof(Self, _task) == offsetof(Self, _sock) + 8);
static_assert(sizeof(VestrelSockAddrIn) == sizeof(platform::Ipv4Address));
static_assert(VESTREL_NO_SOCKET == platform::kNoSocket);

VestrelAsyncDispatcher_VTable vtable = {
    async::setup, async_push, async_push_var, async::try_pop, async::try_pop_var,
};

PyTypeObject type{};

Self *as_self(PyObject *o) {
  return reinterpret_cast<Self *>(o);
}

// ------------------------------------------------------------ construction

const pyrt::Param kCinitParams[] = {
    {"callback"},
    {"capacity", ArgKind::size, 16384},
    {"slot_size", ArgKind::size, 2048},
    {"overwrite", ArgKind::flag},
    {"zerocopy", ArgKind::flag},
    {"variable_size", ArgKind::flag},
};
const pyrt::Signature kCinit{"__cinit__", kCinitParams, 6, 1};
const int kCinitLine = __LINE__;

void construct(Self *self, PyObject *args, PyObject *kwds) {
  BoundArgs a;
  pyrt::bind(kCinit, args, kwds, a);
  const bool variable_size = a[5].flag;
  set_field(self->_callback, Ref::borrow(a[0].obj));
  set_field(self->_q, make_queue({{"slot_size", size_obj(a[2].size)},
                                  {"capacity", size_obj(a[1].size)},
                                  {"overwrite", bool_obj(a[3].flag)},
                                  {"zerocopy", bool_obj(a[4].flag)}}));
  self->_fd = VESTREL_NO_SOCKET;
  self->_push_fn = variable_size ? vtable.push_var : vtable.push;
  self->_pop_fn = variable_size ? vtable._try_pop_var : vtable._try_pop;
}

PyObject *tp_new(PyTypeObject *t, PyObject *args, PyObject *kwds) noexcept {
  return pyrt::guarded<PyObject *>(nullptr, [&] {
    Ref self =
        alloc_instance<Self>(t, &vtable, {&Self::_q, &Self::_callback, &Self::_sock, &Self::_task});
    try {
      construct(as_self(self.get()), args, kwds);
    } catch (...) {
      pyrt::set_error_from_current_exception();
      pyrt::add_traceback("vestrel.utils.corvane.corvane.AsyncDispatcher.__cinit__", kSourceFile,
                          kCinitLine);
      throw pyrt::PyErrSet{};
    }
    return self.release();
  });
}

// ------------------------------------------------------------ type slots

// Destruction runs close first. It runs as the finalizer, so that an object
// that close (or whoever receives its error report) keeps a reference to is
// resurrected by the interpreter rather than freed while still referenced.
void tp_finalize(PyObject *o) noexcept {
  pyrt::SavedError saved;
  // close() is a Python method here (a subclass may override it): call it
  // by name.
  Ref r = Ref::steal(pyrt::into_python([&] { return PyObject_CallMethod(o, "close", nullptr); }));
  if (!r) pyrt::write_unraisable("vestrel.utils.corvane.corvane.AsyncDispatcher.__dealloc__");
}

using Fields = ObjectFields<Self, &Self::_q, &Self::_callback, &Self::_sock, &Self::_task>;

void tp_dealloc(PyObject *o) noexcept {
  if (PyObject_CallFinalizerFromDealloc(o) < 0) return;  // resurrected
  PyObject_GC_UnTrack(o);
  Self *self = as_self(o);
  Fields::release(self);
  Py_TYPE(o)->tp_free(o);
}

// ------------------------------------------------------------ Python methods

Ref py_setup(PyObject *o, BoundArgs &a) {
  VestrelSetupOptArgs opt{a[0].given() ? 1 : 0, a[0].obj};
  as_self(o)->vtab->setup(as_self(o), 1, &opt);
  if (PyErr_Occurred()) pyrt::throw_set();
  return Ref::borrow(Py_None);
}

const pyrt::Param kHost[] = {{"host", ArgKind::str_or_none}};
const pyrt::Param kReaderParams[] = {{"loop"}, {"sock"}};

#define QUALIFIED(name) "vestrel.utils.corvane.corvane.AsyncDispatcher." name

Method methods[] = {
    {{"setup",
      "AsyncDispatcher.setup",
      "AsyncDispatcher.setup(self, str host='127.0.0.1') -> void",
      QUALIFIED("setup"),
      {"setup", kHost, 1, 0},
      py_setup,
      &type,
      false,
      __LINE__},
     Extra::host_defaults},
    {{"_reader",
      "AsyncDispatcher._reader",
      "AsyncDispatcher._reader(self, loop, sock)",
      QUALIFIED("_reader"),
      {"_reader", kReaderParams, 2, 2},
      async::reader,
      &type,
      true,
      __LINE__}},
    {{"close",
      "AsyncDispatcher.close",
      "AsyncDispatcher.close(self) -> None",
      QUALIFIED("close"),
      {"close"},
      async::close,
      &type,
      false,
      __LINE__},
     Extra::returns_none},
};

Method reduce = {{"__reduce__", "AsyncDispatcher.__reduce__", nullptr, QUALIFIED("__reduce__"),
                  kReduceSig, refuse_pickle, &type, false, __LINE__}};
Method setstate = {{"__setstate__", "AsyncDispatcher.__setstate__", nullptr,
                    QUALIFIED("__setstate__"), kSetstateSig, refuse_pickle, &type, false,
                    __LINE__}};

#undef QUALIFIED

ClassDef def = {"AsyncDispatcher", &type, &vtable, methods, &reduce, &setstate};

}  // namespace

ClassDef &async_dispatcher_class() {
  fill_type(type, {"vestrel.utils.corvane.corvane.AsyncDispatcher", sizeof(Self), tp_dealloc,
                   Fields::traverse, Fields::clear, tp_new, tp_finalize});
  return def;
}

}  // namespace vestrel::corvane
