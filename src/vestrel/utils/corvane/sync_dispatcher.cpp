// SyncDispatcher: its type, its method table and its Python-visible methods.
// The entries themselves are in sync_dispatcher_entries.cpp.
#include "sync_dispatcher.hpp"

#include <cstddef>

#include "dispatcher_private.hpp"
#include "pyrt/error.hpp"
#include "pyrt/exit_unwind.hpp"
#include "pyrt/traceback.hpp"
#include "sync_dispatcher_entries.hpp"
#include "vestrel/corvane.h"
#include "wake_target.hpp"

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
static_assert(offsetof(Self, _private) == offsetof(Self, _sock) + 8);
// Producers read both dispatchers' wake targets the same way.
static_assert(offsetof(Self, _fd) == offsetof(VestrelAsyncDispatcher, _fd) &&
              offsetof(Self, _addr) == offsetof(VestrelAsyncDispatcher, _addr));

VestrelSyncDispatcher_VTable vtable = {
    .setup = sync::setup,
    .push = sync::push,
    .push_var = sync::push_var,
    ._try_pop = sync::reader,
    ._try_pop_var = sync::reader_var,
    .private_try_pop = sync::take_one,
    .private_try_pop_var = sync::take_one_var,
    .close = sync::close,
    .try_push = sync::try_push,
    .try_push_var = sync::try_push_var,
};

PyTypeObject type{};

Self *as_self(PyObject *o) {
  return reinterpret_cast<Self *>(o);
}

using Fields = ObjectFields<Self, &Self::_q, &Self::_callback, &Self::_sock>;

// ------------------------------------------------------------ construction

const pyrt::Param kCinitParams[] = {
    {"callback"},
    {"capacity", ArgKind::size, 16384},
    {"slot_size", ArgKind::size, 2048},
    {"zerocopy", ArgKind::flag},
    {"overwrite", ArgKind::flag},
    {"variable_size", ArgKind::flag},
    {"daemon", ArgKind::flag},
    // Keyword-only: the opt-ins (dispatcher_private.hpp).
    {"idle_wakes", ArgKind::flag},
    {"batch", ArgKind::size},
};
const pyrt::Signature kCinit{
    .name = "__cinit__", .params = kCinitParams, .nparams = 7, .nrequired = 1, .nkwonly = 2};

const int kCinitLine = __LINE__ + 1;
void construct(PyObject *o, BoundArgs &a) {
  Self *self = as_self(o);
  self->_private = new_private();
  self->_private->want_idle_wakes = a[7].flag;
  self->_private->batch = a[8].size;
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

void tp_dealloc(PyObject *o) noexcept {
  if (PyObject_CallFinalizerFromDealloc(o) < 0) return;  // resurrected
  PyObject_GC_UnTrack(o);
  Fields::release(as_self(o));
  free_private(as_self(o)->_private);
  Py_TYPE(o)->tp_free(o);
}

// ------------------------------------------------------------ Python methods

using VTable = VestrelSyncDispatcher_VTable;

const pyrt::Param kHost[] = {{"host", ArgKind::str_or_none}};

Ref py_stats(PyObject *o, BoundArgs &) {
  return stats_dict(as_self(o)->_q, as_self(o)->_private, true);
}

Method methods[] = {
    {.name = "setup",
     .line = __LINE__,
     .doc = "SyncDispatcher.setup(self, str host='127.0.0.1') -> void",
     .sig = {.params = kHost, .nparams = 1},
     .body = setup_method<Self>,
     .extra = Extra::host_defaults},
    {.name = "_try_pop",
     .line = __LINE__,
     .doc = "SyncDispatcher._try_pop(self) -> void",
     .body = entry_method<Self, &VTable::_try_pop>},
    {.name = "_try_pop_var",
     .line = __LINE__,
     .doc = "SyncDispatcher._try_pop_var(self) -> void",
     .body = entry_method<Self, &VTable::_try_pop_var>},
    {.name = "close",
     .line = __LINE__,
     .doc = "SyncDispatcher.close(self) -> void",
     .body = entry_method<Self, &VTable::close>},
    {.name = "stats",
     .line = __LINE__,
     .doc = "SyncDispatcher.stats(self) -> dict",
     .body = py_stats},
};

ClassDef def = {
    .short_name = "SyncDispatcher",
    .file = source_path(__FILE__),
    .type = &type,
    .vtable = &vtable,
    .reset_fields = Fields::clear,
    .constructor = {.sig = &kCinit, .body = construct, .line = kCinitLine},
    .methods = methods,
    .slots = {.basicsize = sizeof(Self),
              .dealloc = tp_dealloc,
              .traverse = Fields::traverse,
              .new_ = class_new<def>,
              .finalize = tp_finalize},
};

}  // namespace

ClassDef &sync_dispatcher_class() {
  return def;
}

}  // namespace vestrel::corvane
