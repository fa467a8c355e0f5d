// ThreadedDispatcher: its type, its method table and its Python-visible
// methods. The entries themselves are in threaded_dispatcher_entries.cpp.
#include "threaded_dispatcher.hpp"

#include <cstddef>

#include "dispatcher_private.hpp"
#include "pyrt/error.hpp"
#include "pyrt/traceback.hpp"
#include "reader_threads.hpp"
#include "threaded_dispatcher_entries.hpp"
#include "vestrel/corvane.h"
#include "vestrel/spsc_queue.h"

namespace vestrel::corvane {

namespace {

using pyrt::ArgKind;
using pyrt::BoundArgs;
using pyrt::Ref;
using Self = VestrelThreadedDispatcher;

static_assert(sizeof(VestrelNativeThread) == 16);
static_assert(offsetof(Self, vtab) == sizeof(PyObject));
static_assert(offsetof(Self, _q) == sizeof(PyObject) + 8);
static_assert(offsetof(Self, _thread) == offsetof(Self, _q) + 8);
static_assert(offsetof(Self, _callback) == offsetof(Self, _thread) + 16);
static_assert(offsetof(Self, _variable_size) == offsetof(Self, _callback) + 8);
static_assert(offsetof(Self, _push_fn) == offsetof(Self, _variable_size) + 8);
static_assert(offsetof(Self, _private) == offsetof(Self, _push_fn) + 8);

VestrelThreadedDispatcher_VTable vtable = {
    .push = threaded::push,
    .push_var = threaded::push_var,
    ._reader = threaded::reader,
    ._reader_var = threaded::reader_var,
    .setup = threaded::setup,
    .close = threaded::close,
    .try_push = threaded::try_push,
    .try_push_var = threaded::try_push_var,
};

PyTypeObject type{};

Self *as_self(PyObject *o) {
  return reinterpret_cast<Self *>(o);
}

using Fields = ObjectFields<Self, &Self::_q, &Self::_callback>;

// ------------------------------------------------------------ construction

const pyrt::Param kCinitParams[] = {
    {"callback"},
    {"capacity", ArgKind::size, 16384},
    {"slot_size", ArgKind::size, 2048},
    {"zerocopy", ArgKind::flag},
    {"block_on_full", ArgKind::flag},
    {"overwrite", ArgKind::flag},
    {"variable_size", ArgKind::flag},
    // Keyword-only: the opt-in (dispatcher_private.hpp).
    {"batch", ArgKind::size},
};
const pyrt::Signature kCinit{
    .name = "__cinit__", .params = kCinitParams, .nparams = 7, .nrequired = 1, .nkwonly = 1};

const int kCinitLine = __LINE__ + 1;
void construct(PyObject *o, BoundArgs &a) {
  Self *self = as_self(o);
  self->_private = new_private();
  self->_private->batch = a[7].size;
  set_field(self->_callback, Ref::borrow(a[0].obj));
  self->_variable_size = a[6].flag;
  set_field(self->_q, make_queue({{"slot_size", size_obj(a[2].size)},
                                  {"capacity", size_obj(a[1].size)},
                                  {"zerocopy", bool_obj(a[3].flag)},
                                  {"overwrite", bool_obj(a[5].flag)},
                                  {"block_on_full", bool_obj(a[4].flag)}}));
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
    pyrt::write_unraisable("vestrel.utils.corvane.corvane.ThreadedDispatcher.__dealloc__");
}

void tp_dealloc(PyObject *o) noexcept {
  if (PyObject_CallFinalizerFromDealloc(o) < 0) return;  // resurrected
  PyObject_GC_UnTrack(o);
  Self *self = as_self(o);
  // setup detaches its reader at once: _thread is empty here. A reader that
  // still runs keeps the queue alive itself and stops delivering.
  threaded::forget_dispatcher(self);
  Fields::release(self);
  free_private(self->_private);
  Py_TYPE(o)->tp_free(o);
}

int tp_clear(PyObject *o) noexcept {
  threaded::forget_dispatcher(as_self(o));
  return Fields::clear(o);
}

// ------------------------------------------------------------ Python methods

using VTable = VestrelThreadedDispatcher_VTable;

Ref py_stats(PyObject *o, BoundArgs &) {
  return stats_dict(as_self(o)->_q, as_self(o)->_private, false);
}

Method methods[] = {
    {.name = "setup",
     .line = __LINE__,
     .doc = "ThreadedDispatcher.setup(self) -> void",
     .body = entry_method<Self, &VTable::setup>},
    {.name = "close",
     .line = __LINE__,
     .doc = "ThreadedDispatcher.close(self) -> void",
     .body = entry_method<Self, &VTable::close>},
    {.name = "stats",
     .line = __LINE__,
     .doc = "ThreadedDispatcher.stats(self) -> dict",
     .body = py_stats},
};

ClassDef def = {
    .short_name = "ThreadedDispatcher",
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
              .clear = tp_clear,
              .finalize = tp_finalize},
};

}  // namespace

ClassDef &threaded_dispatcher_class() {
  return def;
}

}  // namespace vestrel::corvane
