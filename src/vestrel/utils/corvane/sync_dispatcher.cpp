// SyncDispatcher: its type slots, constructor, method table and the thin
// Python-visible bindings over the table's entries.
#include "sync_dispatcher.hpp"

#include <cstddef>

#include "dispatcher_push.hpp"
#include "pyrt/error.hpp"
#include "pyrt/exit_unwind.hpp"
#include "pyrt/traceback.hpp"
#include "sync_entries.hpp"
#include "vestrel/corvane.h"

namespace vestrel::corvane {

namespace {

using pyrt::ArgKind;
using pyrt::BoundArgs;
using pyrt::Ref;
using Self = VestrelSyncDispatcher;

static_assert(offsetof(Self, vtab) == sizeof(PyObject));
static_assert(offsetof(Self, _q) == sizeof(PyObject) + 8);
static_assert(offsetof(Self, _fd) == offsetof(Self, _q) + 8);
static_assert(offsetof(Self, _addr) == offsetof(Self, _fd) + 8);
static_assert(offsetof(Self, _daemon) == offsetof(Self, _addr) + 16);
static_assert(offsetof(Self, _variable_size) == offsetof(Self, _daemon) + 4);
static_assert(offsetof(Self, _push_fn) == offsetof(Self, _variable_size) + 4);
static_assert(offsetof(Self, _callback) == offsetof(Self, _push_fn) + 8);
static_assert(offsetof(Self, _sock) == offsetof(Self, _callback) + 8);
// Producers read both dispatchers' wake targets the same way.
static_assert(offsetof(Self, _fd) == offsetof(VestrelAsyncDispatcher, _fd) &&
              offsetof(Self, _addr) == offsetof(VestrelAsyncDispatcher, _addr));

VestrelSyncDispatcher_VTable vtable = {
    sync::setup,       sync_push,      sync_push_var,      sync::try_pop,
    sync::try_pop_var, sync::take_one, sync::take_one_var, sync::close,
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
    {"zerocopy", ArgKind::flag},
    {"overwrite", ArgKind::flag},
    {"variable_size", ArgKind::flag},
    {"daemon", ArgKind::flag},
};
const pyrt::Signature kCinit{"__cinit__", kCinitParams, 7, 1};
const int kCinitLine = __LINE__;

void construct(Self *self, PyObject *args, PyObject *kwds) {
  BoundArgs a;
  pyrt::bind(kCinit, args, kwds, a);
  set_field(self->_callback, Ref::borrow(a[0].obj));
  self->_variable_size = a[5].flag;
  self->_daemon = a[6].flag;
  set_field(self->_q, make_queue({{"slot_size", size_obj(a[2].size)},
                                  {"capacity", size_obj(a[1].size)},
                                  {"overwrite", bool_obj(a[4].flag)},
                                  {"zerocopy", bool_obj(a[3].flag)}}));
  self->_fd = VESTREL_NO_SOCKET;
  self->_push_fn = self->_variable_size ? vtable.push_var : vtable.push;
}

PyObject *tp_new(PyTypeObject *t, PyObject *args, PyObject *kwds) noexcept {
  return pyrt::guarded<PyObject *>(nullptr, [&] {
    Ref self = alloc_instance<Self>(t, &vtable, {&Self::_q, &Self::_callback, &Self::_sock});
    try {
      construct(as_self(self.get()), args, kwds);
    } catch (...) {
      pyrt::set_error_from_current_exception();
      pyrt::add_traceback("vestrel.utils.corvane.corvane.SyncDispatcher.__cinit__", kSourceFile,
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
  // Through the table with overrides enabled.
  Self *self = as_self(o);
  self->vtab->close(self, 0);
  if (PyErr_Occurred())
    pyrt::write_unraisable("vestrel.utils.corvane.corvane.SyncDispatcher.__dealloc__");
  // No reader can be waiting on the socket any more (a running reader holds
  // the dispatcher), so close it here rather than leave it to the socket's
  // own finalizer, which would warn about an unclosed socket.
  if (self->_sock != Py_None) {
    retract_wake_target(self->_fd);  // even when an override replaced close
    Ref sock = Ref::borrow(self->_sock);
    Ref done = Ref::steal(
        pyrt::into_python([&] { return PyObject_CallMethod(sock.get(), "close", nullptr); }));
    if (!done) pyrt::write_unraisable("vestrel.utils.corvane.corvane.SyncDispatcher.__dealloc__");
  }
}

using Fields = ObjectFields<Self, &Self::_q, &Self::_callback, &Self::_sock>;

void tp_dealloc(PyObject *o) noexcept {
  if (PyObject_CallFinalizerFromDealloc(o) < 0) return;  // resurrected
  PyObject_GC_UnTrack(o);
  Self *self = as_self(o);
  Fields::release(self);
  Py_TYPE(o)->tp_free(o);
}

// ------------------------------------------------------------ Python methods

Ref done(PyObject *) {
  if (PyErr_Occurred()) pyrt::throw_set();
  return Ref::borrow(Py_None);
}

Ref py_setup(PyObject *o, BoundArgs &a) {
  VestrelSetupOptArgs opt{a[0].given() ? 1 : 0, a[0].obj};
  as_self(o)->vtab->setup(as_self(o), 1, &opt);
  return done(o);
}
Ref py_try_pop(PyObject *o, BoundArgs &) {
  as_self(o)->vtab->_try_pop(as_self(o), 1);
  return done(o);
}
Ref py_try_pop_var(PyObject *o, BoundArgs &) {
  as_self(o)->vtab->_try_pop_var(as_self(o), 1);
  return done(o);
}
Ref py_close(PyObject *o, BoundArgs &) {
  as_self(o)->vtab->close(as_self(o), 1);
  return done(o);
}

const pyrt::Param kHost[] = {{"host", ArgKind::str_or_none}};

#define QUALIFIED(name) "vestrel.utils.corvane.corvane.SyncDispatcher." name

Method methods[] = {
    {{"setup",
      "SyncDispatcher.setup",
      "SyncDispatcher.setup(self, str host='127.0.0.1') -> void",
      QUALIFIED("setup"),
      {"setup", kHost, 1, 0},
      py_setup,
      &type,
      false,
      __LINE__},
     Extra::host_defaults},
    {{"_try_pop",
      "SyncDispatcher._try_pop",
      "SyncDispatcher._try_pop(self) -> void",
      QUALIFIED("_try_pop"),
      {"_try_pop"},
      py_try_pop,
      &type,
      false,
      __LINE__}},
    {{"_try_pop_var",
      "SyncDispatcher._try_pop_var",
      "SyncDispatcher._try_pop_var(self) -> void",
      QUALIFIED("_try_pop_var"),
      {"_try_pop_var"},
      py_try_pop_var,
      &type,
      false,
      __LINE__}},
    {{"close",
      "SyncDispatcher.close",
      "SyncDispatcher.close(self) -> void",
      QUALIFIED("close"),
      {"close"},
      py_close,
      &type,
      false,
      __LINE__}},
};

Method reduce = {{"__reduce__", "SyncDispatcher.__reduce__", nullptr, QUALIFIED("__reduce__"),
                  kReduceSig, refuse_pickle, &type, false, __LINE__}};
Method setstate = {{"__setstate__", "SyncDispatcher.__setstate__", nullptr,
                    QUALIFIED("__setstate__"), kSetstateSig, refuse_pickle, &type, false,
                    __LINE__}};

#undef QUALIFIED

ClassDef def = {"SyncDispatcher", &type, &vtable, methods, &reduce, &setstate};

}  // namespace

ClassDef &sync_dispatcher_class() {
  fill_type(type, {"vestrel.utils.corvane.corvane.SyncDispatcher", sizeof(Self), tp_dealloc,
                   Fields::traverse, Fields::clear, tp_new, tp_finalize});
  return def;
}

}  // namespace vestrel::corvane
