// ThreadedDispatcher: its type slots, constructor, method table and the thin
// Python-visible bindings over the table's entries.
#include "threaded_dispatcher.hpp"

#include <cstddef>

#include "pyrt/error.hpp"
#include "pyrt/traceback.hpp"
#include "threaded_reader.hpp"
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

// ------------------------------------------------------------ table entries

VestrelSPSCQueue *ring_of(Self *self) noexcept {
  return reinterpret_cast<VestrelSPSCQueue *>(self->_q);
}

// The producer path: one ring call, nothing else. A cleared dispatcher (no
// queue) refuses as a stopped ring would.
int push(Self *self, const char *data, size_t length) noexcept {
  if (self->_q == Py_None) return VESTREL_RING_STOPPED;
  return ring_of(self)->vtab->put(ring_of(self), data, length);
}

int push_var(Self *self, const char *data, size_t length) noexcept {
  if (self->_q == Py_None) return VESTREL_RING_STOPPED;
  return ring_of(self)->vtab->put_var(ring_of(self), data, length);
}

void setup(Self *self, int override_flag) noexcept;
void close(Self *self, int override_flag) noexcept;

VestrelThreadedDispatcher_VTable vtable = {
    push, push_var, threaded::reader, threaded::reader_var, setup, close,
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
    {"block_on_full", ArgKind::flag},
    {"overwrite", ArgKind::flag},
    {"variable_size", ArgKind::flag},
};
const pyrt::Signature kCinit{"__cinit__", kCinitParams, 7, 1};
const int kCinitLine = __LINE__;

void construct(Self *self, PyObject *args, PyObject *kwds) {
  BoundArgs a;
  pyrt::bind(kCinit, args, kwds, a);
  set_field(self->_callback, Ref::borrow(a[0].obj));
  self->_variable_size = a[6].flag;
  set_field(self->_q, make_queue({{"slot_size", size_obj(a[2].size)},
                                  {"capacity", size_obj(a[1].size)},
                                  {"zerocopy", bool_obj(a[3].flag)},
                                  {"overwrite", bool_obj(a[5].flag)},
                                  {"block_on_full", bool_obj(a[4].flag)}}));
  self->_push_fn = self->_variable_size ? vtable.push_var : vtable.push;
}

PyObject *tp_new(PyTypeObject *t, PyObject *args, PyObject *kwds) noexcept {
  return pyrt::guarded<PyObject *>(nullptr, [&] {
    Ref self = alloc_instance<Self>(t, &vtable, {&Self::_q, &Self::_callback});
    try {
      construct(as_self(self.get()), args, kwds);
    } catch (...) {
      pyrt::set_error_from_current_exception();
      pyrt::add_traceback("vestrel.utils.corvane.corvane.ThreadedDispatcher.__cinit__", kSourceFile,
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
    pyrt::write_unraisable("vestrel.utils.corvane.corvane.ThreadedDispatcher.__dealloc__");
}

using Fields = ObjectFields<Self, &Self::_q, &Self::_callback>;

void tp_dealloc(PyObject *o) noexcept {
  if (PyObject_CallFinalizerFromDealloc(o) < 0) return;  // resurrected
  PyObject_GC_UnTrack(o);
  Self *self = as_self(o);
  // setup detaches its reader at once: _thread is empty here. A reader that
  // still runs keeps the queue alive itself and stops delivering.
  threaded::forget_dispatcher(self);
  Fields::release(self);
  Py_TYPE(o)->tp_free(o);
}

int tp_clear(PyObject *o) noexcept {
  Self *self = as_self(o);
  threaded::forget_dispatcher(self);
  Fields::reset(self);
  return 0;
}

// ------------------------------------------------------------ Python methods

Ref py_setup(PyObject *o, BoundArgs &) {
  as_self(o)->vtab->setup(as_self(o), 1);
  if (PyErr_Occurred()) pyrt::throw_set();
  return Ref::borrow(Py_None);
}
Ref py_close(PyObject *o, BoundArgs &) {
  as_self(o)->vtab->close(as_self(o), 1);
  if (PyErr_Occurred()) pyrt::throw_set();
  return Ref::borrow(Py_None);
}

#define QUALIFIED(name) "vestrel.utils.corvane.corvane.ThreadedDispatcher." name

Method methods[] = {
    {{"setup",
      "ThreadedDispatcher.setup",
      "ThreadedDispatcher.setup(self) -> void",
      QUALIFIED("setup"),
      {"setup"},
      py_setup,
      &type,
      false,
      __LINE__}},
    {{"close",
      "ThreadedDispatcher.close",
      "ThreadedDispatcher.close(self) -> void",
      QUALIFIED("close"),
      {"close"},
      py_close,
      &type,
      false,
      __LINE__}},
};

Method reduce = {{"__reduce__", "ThreadedDispatcher.__reduce__", nullptr, QUALIFIED("__reduce__"),
                  kReduceSig, refuse_pickle, &type, false, __LINE__}};
Method setstate = {{"__setstate__", "ThreadedDispatcher.__setstate__", nullptr,
                    QUALIFIED("__setstate__"), kSetstateSig, refuse_pickle, &type, false,
                    __LINE__}};

#undef QUALIFIED

ClassDef def = {"ThreadedDispatcher", &type, &vtable, methods, &reduce, &setstate};

// A Python subclass's method of the same name runs instead of the body when
// the entry is called with the flag 0.
template <class F>
void entry(Self *self, int override_flag, const char *name, F &&body) noexcept {
  pyrt::guarded(0, [&] {
    PyObject *o = reinterpret_cast<PyObject *>(self);
    if (override_flag == 0 && call_override(o, name, spec_of(def, name), {})) return 0;
    body();
    return 0;
  });
}

void setup(Self *self, int override_flag) noexcept {
  entry(self, override_flag, "setup", [&] {
    // Through the table, so that a native subclass's reader is honoured.
    threaded::start_reader(self,
                           self->_variable_size ? self->vtab->_reader_var : self->vtab->_reader);
  });
}

// Stops the ring; the reader drains what it holds and ends on its own. No
// wait: close may run on the reader thread itself, inside the callback.
void close(Self *self, int override_flag) noexcept {
  entry(self, override_flag, "close", [&] {
    if (self->_q != Py_None) ring_of(self)->vtab->stop(ring_of(self));
  });
}

}  // namespace

ClassDef &threaded_dispatcher_class() {
  fill_type(type, {"vestrel.utils.corvane.corvane.ThreadedDispatcher", sizeof(Self), tp_dealloc,
                   Fields::traverse, tp_clear, tp_new, tp_finalize});
  return def;
}

}  // namespace vestrel::corvane
