// AsyncDispatcher: its type, its method table and its Python-visible
// methods. The entries themselves are in async_dispatcher_entries.cpp.
#include "async_dispatcher.hpp"

#include <cstddef>

#include "async_dispatcher_entries.hpp"
#include "dispatcher_private.hpp"
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
static_assert(offsetof(Self, _private) == offsetof(Self, _task) + 8);
static_assert(sizeof(VestrelSockAddrIn) == sizeof(platform::Ipv4Address));
static_assert(VESTREL_NO_SOCKET == platform::kNoSocket);

VestrelAsyncDispatcher_VTable vtable = {
    .setup = async::setup,
    .push = async::push,
    .push_var = async::push_var,
    ._try_pop = async::take_one,
    ._try_pop_var = async::take_one_var,
    .try_push = async::try_push,
    .try_push_var = async::try_push_var,
};

PyTypeObject type{};

Self *as_self(PyObject *o) {
  return reinterpret_cast<Self *>(o);
}

using Fields = ObjectFields<Self, &Self::_q, &Self::_callback, &Self::_sock, &Self::_task>;

// ------------------------------------------------------------ construction

const pyrt::Param kCinitParams[] = {
    {"callback"},
    {"capacity", ArgKind::size, 16384},
    {"slot_size", ArgKind::size, 2048},
    {"overwrite", ArgKind::flag},
    {"zerocopy", ArgKind::flag},
    {"variable_size", ArgKind::flag},
    // Keyword-only: the opt-ins (dispatcher_private.hpp).
    {"idle_wakes", ArgKind::flag},
    {"batch", ArgKind::size},
};
const pyrt::Signature kCinit{
    .name = "__cinit__", .params = kCinitParams, .nparams = 6, .nrequired = 1, .nkwonly = 2};

const int kCinitLine = __LINE__ + 1;
void construct(PyObject *o, BoundArgs &a) {
  Self *self = as_self(o);
  self->_private = new_private();
  self->_private->want_idle_wakes = a[6].flag;
  self->_private->batch = a[7].size;
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

void tp_dealloc(PyObject *o) noexcept {
  if (PyObject_CallFinalizerFromDealloc(o) < 0) return;  // resurrected
  PyObject_GC_UnTrack(o);
  Fields::release(as_self(o));
  free_private(as_self(o)->_private);
  Py_TYPE(o)->tp_free(o);
}

// ------------------------------------------------------------ Python methods

const pyrt::Param kHost[] = {{"host", ArgKind::str_or_none}};
const pyrt::Param kReaderParams[] = {{"loop"}, {"sock"}};

Ref py_stats(PyObject *o, BoundArgs &) {
  return stats_dict(as_self(o)->_q, as_self(o)->_private, true);
}

Method methods[] = {
    {.name = "setup",
     .line = __LINE__,
     .doc = "AsyncDispatcher.setup(self, str host='127.0.0.1') -> void",
     .sig = {.params = kHost, .nparams = 1},
     .body = setup_method<Self>,
     .extra = Extra::host_defaults},
    {.name = "_reader",
     .line = __LINE__,
     .doc = "AsyncDispatcher._reader(self, loop, sock)",
     .sig = {.params = kReaderParams, .nparams = 2, .nrequired = 2},
     .body = async::reader,
     .kind = Kind::coroutine},
    {.name = "close",
     .line = __LINE__,
     .doc = "AsyncDispatcher.close(self) -> None",
     .body = async::close,
     .extra = Extra::returns_none},
    {.name = "stats",
     .line = __LINE__,
     .doc = "AsyncDispatcher.stats(self) -> dict",
     .body = py_stats},
};

ClassDef def = {
    .short_name = "AsyncDispatcher",
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

ClassDef &async_dispatcher_class() {
  return def;
}

}  // namespace vestrel::corvane
