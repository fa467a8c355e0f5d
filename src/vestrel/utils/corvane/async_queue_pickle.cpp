// Pickling of AsyncQueue. The state is the six object fields as references,
// in the order of their sorted names; a layout checksum travels with it so
// that a pickle written for another field layout is refused, not misread.
#include "async_queue_pickle.hpp"

#include <cstdio>
#include <iterator>

#include "async_queue.hpp"
#include "class_support.hpp"
#include "pyrt/error.hpp"
#include "vestrel/corvane.h"

namespace vestrel::corvane {

namespace {

using pyrt::check;
using pyrt::Ref;
using pyrt::throw_set;
using Self = VestrelAsyncQueue;

// The first seven hex digits of the SHA-256, SHA-1 and MD5 digests of
// "_callback _lock _loop _notify_cond _q _task". We write the first; pickles
// made with either of the others are read too.
constexpr long kChecksum = 0xe6d5d6e;
constexpr long kChecksumSha1 = 0x2a2f1a6;
constexpr long kChecksumMd5 = 0x7fa4a7c;
constexpr char kFieldList[] = "_callback, _lock, _loop, _notify_cond, _q, _task";

PyObject *Self::*const kStateOrder[] = {&Self::_callback,    &Self::_lock, &Self::_loop,
                                        &Self::_notify_cond, &Self::_q,    &Self::_task};
constexpr Py_ssize_t kStateSize = std::size(kStateOrder);

Self *as_self(PyObject *o) {
  return reinterpret_cast<Self *>(o);
}

PyTypeObject *ring_type() {
  return reinterpret_cast<PyTypeObject *>(state.spsc_type);
}

// Item `i`, IndexError when the tuple is shorter.
Ref item(PyObject *tuple, Py_ssize_t i) {
  PyObject *o = PyTuple_GetItem(tuple, i);
  if (!o) throw_set();
  return Ref::borrow(o);
}

// Writes the state into the queue field by field, in state order: a failure
// leaves the fields before it replaced and the rest as they were.
void set_state(PyObject *queue, PyObject *state_tuple) {
  Self *self = as_self(queue);
  set_field(self->_callback, item(state_tuple, 0));
  set_field(self->_lock, item(state_tuple, 1));
  set_field(self->_loop, item(state_tuple, 2));
  set_field(self->_notify_cond, item(state_tuple, 3));
  // The ring is read through its C-level table, so only a real ring may go in.
  Ref ring = item(state_tuple, 4);
  if (ring.get() != Py_None && !PyObject_TypeCheck(ring.get(), ring_type())) {
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(ring.get())->tp_name,
                 ring_type()->tp_name);
    throw_set();
  }
  set_field(self->_q, std::move(ring));
  set_field(self->_task, item(state_tuple, 5));
  if (PyTuple_GET_SIZE(state_tuple) <= kStateSize) return;
  Ref attrs = item(state_tuple, kStateSize);
  if (!pyrt::to_flag(attrs.get())) return;
  // A plain AsyncQueue has no __dict__: AttributeError, as for any object.
  Ref dict = check(PyObject_GenericGetDict(queue, nullptr));
  if (PyDict_CheckExact(dict.get())) {
    check(PyDict_Update(dict.get(), attrs.get()));
  } else {
    Ref update = check(PyUnicode_InternFromString("update"));
    check(PyObject_CallMethodObjArgs(dict.get(), update.get(), attrs.get(), nullptr));
  }
}

[[noreturn]] void raise_incompatible(long checksum) {
  Ref pickle = check(PyImport_ImportModule("pickle"));
  Ref error = check(PyObject_GetAttrString(pickle.get(), "PickleError"));
  // Written as Python's "%x" writes a negative number: a sign, then the
  // magnitude.
  const unsigned long magnitude = checksum < 0 ? 0UL - static_cast<unsigned long>(checksum)
                                               : static_cast<unsigned long>(checksum);
  char text[160];
  std::snprintf(
      text, sizeof text, "Incompatible checksums (0x%s%lx vs (0x%lx, 0x%lx, 0x%lx) = (%s))",
      checksum < 0 ? "-" : "", magnitude, kChecksum, kChecksumSha1, kChecksumMd5, kFieldList);
  Ref message = check(PyUnicode_FromString(text));
  PyErr_SetObject(error.get(), message.get());
  throw_set();
}

}  // namespace

Ref queue_reduce(PyObject *self, pyrt::BoundArgs &) {
  Ref fields[kStateSize];
  for (Py_ssize_t i = 0; i < kStateSize; ++i)
    fields[i] = Ref::borrow(as_self(self)->*kStateOrder[i]);

  Ref dict = Ref::steal(PyObject_GetAttrString(self, "__dict__"));
  if (!dict) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_set();
    PyErr_Clear();
    dict = Ref::borrow(Py_None);
  }
  const bool with_dict = dict.get() != Py_None && pyrt::to_flag(dict.get());
  // A blank queue rebuilds from the arguments alone; anything else needs
  // __setstate__.
  bool use_setstate = with_dict;
  for (const Ref &f : fields) use_setstate = use_setstate || f.get() != Py_None;

  Ref state_tuple = check(PyTuple_New(kStateSize + (with_dict ? 1 : 0)));
  for (Py_ssize_t i = 0; i < kStateSize; ++i)
    PyTuple_SET_ITEM(state_tuple.get(), i, fields[i].release());
  if (with_dict) PyTuple_SET_ITEM(state_tuple.get(), kStateSize, dict.release());

  // Looked up at each call, as the module's own Python code would.
  Ref rebuild = module_global("__pyx_unpickle_AsyncQueue");
  PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(self));
  if (use_setstate)
    return check(
        Py_BuildValue("(O(OlO)O)", rebuild.get(), type, kChecksum, Py_None, state_tuple.get()));
  return check(Py_BuildValue("(O(OlO))", rebuild.get(), type, kChecksum, state_tuple.get()));
}

Ref queue_setstate(PyObject *self, pyrt::BoundArgs &args) {
  PyObject *state_tuple = args[0].obj;
  if (state_tuple == Py_None)
    pyrt::raise(PyExc_TypeError,
                "cannot pass None into a C function argument that is declared 'not None'");
  if (!PyTuple_CheckExact(state_tuple)) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "tuple",
                 Py_TYPE(state_tuple)->tp_name);
    throw_set();
  }
  set_state(self, state_tuple);
  return Ref::borrow(Py_None);
}

Ref unpickle_queue(PyObject *, pyrt::BoundArgs &args) {
  PyObject *type = args[0].obj;
  const long checksum = args[1].i32;  // converted by binding, before the state's type test
  PyObject *state_tuple = args[2].obj;
  if (checksum != kChecksum && checksum != kChecksumSha1 && checksum != kChecksumMd5)
    raise_incompatible(checksum);
  // AsyncQueue.__new__ refuses anything but AsyncQueue and its subclasses, so
  // the result has our layout; __init__ does not run.
  PyObject *queue_type = reinterpret_cast<PyObject *>(async_queue_class().type);
  Ref new_ = check(PyObject_GetAttrString(queue_type, "__new__"));
  Ref queue = check(PyObject_CallFunctionObjArgs(new_.get(), type, nullptr));
  if (state_tuple != Py_None) set_state(queue.get(), state_tuple);
  return queue;
}

}  // namespace vestrel::corvane
