// vestrel.spsc_queue.spsc_queue: the SPSCQueue extension type, a thin Python
// shell around ring::Ring with a C-level method table for native callers.
#include <Python.h>

#include <cstddef>
#include <memory>

#include "pyrt/error.hpp"
#include "pyrt/gil.hpp"
#include "pyrt/ref.hpp"
#include "ring/spsc_ring.hpp"
#include "vestrel/spsc_queue.h"

namespace {

using vestrel::pyrt::check;
using vestrel::pyrt::guarded;
using vestrel::pyrt::raise;
using vestrel::pyrt::Ref;
using vestrel::pyrt::throw_set;
using vestrel::pyrt::without_gil;
using vestrel::ring::Ring;

static_assert(sizeof(VestrelSPSCQueue) == VESTREL_SPSC_QUEUE_BASICSIZE);
static_assert(offsetof(VestrelSPSCQueue, vtab) == sizeof(PyObject));
static_assert(vestrel::ring::kStored == VESTREL_RING_STORED &&
              vestrel::ring::kFull == VESTREL_RING_FULL &&
              vestrel::ring::kTooLong == VESTREL_RING_TOO_LONG &&
              vestrel::ring::kStopped == VESTREL_RING_STOPPED &&
              vestrel::ring::kWrongMode == VESTREL_RING_WRONG_MODE);

// Bookkeeping of the Python-level methods, kept in the private tail of the
// object. The blocking methods release the GIL, so without these flags a
// second Python thread could become a second producer or consumer.
struct PyState {
  bool producer_busy;
  bool consumer_busy;
};
static_assert(sizeof(PyState) <= sizeof(VestrelSPSCQueue::private_));

inline VestrelSPSCQueue *as_queue(PyObject *o) {
  return reinterpret_cast<VestrelSPSCQueue *>(o);
}
inline Ring &ring_of(VestrelSPSCQueue *q) {
  return *static_cast<Ring *>(q->ring_);
}
inline Ring &ring_of(PyObject *o) {
  return ring_of(as_queue(o));
}
inline PyState &state_of(PyObject *o) {
  return *reinterpret_cast<PyState *>(as_queue(o)->private_);
}

// ------------------------------------------------------------ method table

int q_put(VestrelSPSCQueue *q, const char *d, size_t n) {
  return ring_of(q).put(d, n);
}
int q_try_put(VestrelSPSCQueue *q, const char *d, size_t n) {
  return ring_of(q).try_put(d, n);
}
int q_put_var(VestrelSPSCQueue *q, const char *d, size_t n) {
  return ring_of(q).put_var(d, n);
}
int q_try_put_var(VestrelSPSCQueue *q, const char *d, size_t n) {
  return ring_of(q).try_put_var(d, n);
}
int q_take(VestrelSPSCQueue *q, const char **d, size_t *n) {
  return ring_of(q).take(d, n);
}
void q_release(VestrelSPSCQueue *q) {
  ring_of(q).release();
}
int q_try_take(VestrelSPSCQueue *q, const char **d, size_t *n) {
  return ring_of(q).try_take(d, n);
}
int q_take_var(VestrelSPSCQueue *q, const char **d, size_t *n) {
  return ring_of(q).take_var(d, n);
}
int q_try_take_var(VestrelSPSCQueue *q, const char **d, size_t *n) {
  return ring_of(q).try_take_var(d, n);
}
void q_stop(VestrelSPSCQueue *q) {
  ring_of(q).stop();
}

VestrelSPSCQueue_VTable vtable = {q_put,      q_try_put,      q_put_var, q_try_put_var,
                                  nullptr,    q_take,         q_release, q_try_take,
                                  q_take_var, q_try_take_var, q_stop};

// ------------------------------------------------------------ construction

std::size_t to_size(PyObject *o, const char *name) {
  Ref index = check(PyNumber_Index(o));  // TypeError for float, str, ...
  std::size_t v = PyLong_AsSize_t(index.get());
  if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s must be a positive integer below 2**64, got %R", name,
                 index.get());
    throw_set();
  }
  return v;
}

PyObject *queue_new(PyTypeObject *type, PyObject *args, PyObject *kwds) noexcept {
  return guarded<PyObject *>(nullptr, [&] {
    static const char *kwlist[] = {"slot_size", "capacity",      "overwrite",
                                   "zerocopy",  "block_on_full", nullptr};
    PyObject *slot_size = nullptr, *capacity = nullptr;
    int overwrite = 0, zerocopy = 0, block_on_full = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOppp:SPSCQueue", const_cast<char **>(kwlist),
                                     &slot_size, &capacity, &overwrite, &zerocopy, &block_on_full))
      throw_set();
    vestrel::ring::Config config;
    if (slot_size) config.slot_size = to_size(slot_size, "slot_size");
    if (capacity) config.capacity = to_size(capacity, "capacity");
    config.overwrite = overwrite;
    config.zerocopy = zerocopy;
    config.block_on_full = block_on_full;
    // invalid_argument -> ValueError, bad_alloc -> MemoryError at the boundary.
    auto ring = std::make_unique<Ring>(config);
    Ref self = check(type->tp_alloc(type, 0));
    VestrelSPSCQueue *q = as_queue(self.get());
    q->vtab = &vtable;
    q->ring_ = ring.release();
    return self.release();
  });
}

void queue_dealloc(PyObject *self) noexcept {
  delete static_cast<Ring *>(as_queue(self)->ring_);
  Py_TYPE(self)->tp_free(self);
}

// ------------------------------------------------------------ Python methods

// Marks one side busy for the duration of a Python-level call.
class Busy {
 public:
  Busy(bool &flag, const char *side) : flag_(flag) {
    if (flag_) {
      PyErr_Format(PyExc_RuntimeError, "another thread is already the %s of this queue", side);
      throw_set();
    }
    flag_ = true;
  }
  ~Busy() { flag_ = false; }
  Busy(const Busy &) = delete;
  Busy &operator=(const Busy &) = delete;

 private:
  bool &flag_;
};

struct Buffer {
  Py_buffer view{};
  explicit Buffer(PyObject *o) {
    if (PyObject_GetBuffer(o, &view, PyBUF_SIMPLE) < 0) throw_set();
  }
  ~Buffer() { PyBuffer_Release(&view); }
  Buffer(const Buffer &) = delete;
  Buffer &operator=(const Buffer &) = delete;
};

template <int (Ring::*Put)(const char *, std::size_t) noexcept>
PyObject *py_put(PyObject *self, PyObject *arg) noexcept {
  return guarded<PyObject *>(nullptr, [&] {
    Busy busy(state_of(self).producer_busy, "producer");
    Buffer buf(arg);
    Ring &ring = ring_of(self);
    const char *data = static_cast<const char *>(buf.view.buf);
    const auto size = static_cast<std::size_t>(buf.view.len);
    const bool may_wait =
        ring.config().block_on_full && (Put == &Ring::put || Put == &Ring::put_var);
    int r =
        may_wait ? without_gil([&] { return (ring.*Put)(data, size); }) : (ring.*Put)(data, size);
    return PyLong_FromLong(r);
  });
}

PyObject *taken(int r, const char *data, std::size_t size, bool var) {
  if (r == vestrel::ring::kTaken)
    return PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size));
  if (r == vestrel::ring::kWrongMode)
    raise(PyExc_ValueError,
          var ? "the queue holds fixed-size messages; use take/try_take"
              : "the queue holds variable-size messages; use take_var/try_take_var");
  Py_RETURN_NONE;
}

template <bool Var>
PyObject *py_try_take(PyObject *self, PyObject *) noexcept {
  return guarded<PyObject *>(nullptr, [&] {
    Busy busy(state_of(self).consumer_busy, "consumer");
    const char *data = nullptr;
    std::size_t size = 0;
    Ring &ring = ring_of(self);
    int r = Var ? ring.try_take_var(&data, &size) : ring.try_take(&data, &size);
    PyObject *msg = taken(r, data, size, Var);
    ring.release();  // the bytes object is a copy: no reason to hold the slot
    return msg;
  });
}

template <bool Var>
PyObject *py_take(PyObject *self, PyObject *) noexcept {
  return guarded<PyObject *>(nullptr, [&] {
    Busy busy(state_of(self).consumer_busy, "consumer");
    const char *data = nullptr;
    std::size_t size = 0;
    Ring &ring = ring_of(self);
    int r =
        without_gil([&] { return Var ? ring.take_var(&data, &size) : ring.take(&data, &size); });
    PyObject *msg = taken(r, data, size, Var);
    if (Var) ring.release();  // take() keeps its slot held until release(), like native readers
    return msg;
  });
}

PyObject *py_release(PyObject *self, PyObject *) noexcept {
  return guarded<PyObject *>(nullptr, [&] {
    Busy busy(state_of(self).consumer_busy, "consumer");
    ring_of(self).release();
    Py_RETURN_NONE;
  });
}

PyObject *py_stop(PyObject *self, PyObject *) noexcept {
  ring_of(self).stop();
  Py_RETURN_NONE;
}

PyObject *py_stats(PyObject *self, PyObject *) noexcept {
  vestrel::ring::Stats s = ring_of(self).stats();
  return Py_BuildValue("{sKsKsKsKsKsKsKsKsK}", "stored", s.stored, "freed", s.freed, "dropped",
                       s.dropped, "consumer_sleeps", s.consumer_sleeps, "producer_sleeps",
                       s.producer_sleeps, "refused_full", s.refused_full, "refused_too_long",
                       s.refused_too_long, "refused_stopped", s.refused_stopped,
                       "refused_other_format", s.refused_other_format);
}

PyObject *py_reduce(PyObject *self, PyObject *) noexcept {
  PyErr_Format(PyExc_TypeError,
               "cannot pickle '%s' object: it owns native memory shared with threads",
               Py_TYPE(self)->tp_name);
  return nullptr;
}

PyObject *queue_repr(PyObject *self) noexcept {
  const vestrel::ring::Config &c = ring_of(self).config();
  return PyUnicode_FromFormat(
      "%s(slot_size=%zu, capacity=%zu, overwrite=%s, zerocopy=%s, "
      "block_on_full=%s)",
      Py_TYPE(self)->tp_name, c.slot_size, c.capacity, c.overwrite ? "True" : "False",
      c.zerocopy ? "True" : "False", c.block_on_full ? "True" : "False");
}

Py_ssize_t queue_len(PyObject *self) noexcept {
  return static_cast<Py_ssize_t>(ring_of(self).size());
}

PyObject *get_slot_size(PyObject *self, void *) noexcept {
  return PyLong_FromSize_t(ring_of(self).config().slot_size);
}
PyObject *get_capacity(PyObject *self, void *) noexcept {
  return PyLong_FromSize_t(ring_of(self).config().capacity);
}
PyObject *get_overwrite(PyObject *self, void *) noexcept {
  return PyBool_FromLong(ring_of(self).config().overwrite);
}
PyObject *get_zerocopy(PyObject *self, void *) noexcept {
  return PyBool_FromLong(ring_of(self).config().zerocopy);
}
PyObject *get_block_on_full(PyObject *self, void *) noexcept {
  return PyBool_FromLong(ring_of(self).config().block_on_full);
}
PyObject *get_max_var_size(PyObject *self, void *) noexcept {
  return PyLong_FromSize_t(ring_of(self).max_var_size());
}
PyObject *get_mode(PyObject *self, void *) noexcept {
  static const char *names[] = {"none", "fixed", "variable"};
  return PyUnicode_FromString(names[ring_of(self).mode()]);
}
PyObject *get_stopped(PyObject *self, void *) noexcept {
  return PyBool_FromLong(ring_of(self).stopped());
}

PyMethodDef queue_methods[] = {
    {"put", py_put<&Ring::put>, METH_O,
     "put($self, data, /)\n--\n\nput(data) -> int\n\nStore a fixed-size message; waits for room "
     "when block_on_full."},
    {"try_put", py_put<&Ring::try_put>, METH_O,
     "try_put($self, data, /)\n--\n\ntry_put(data) -> int\n\nStore a fixed-size message without "
     "waiting."},
    {"put_var", py_put<&Ring::put_var>, METH_O,
     "put_var($self, data, /)\n--\n\nput_var(data) -> int\n\nStore a variable-size message; waits "
     "for room when block_on_full."},
    {"try_put_var", py_put<&Ring::try_put_var>, METH_O,
     "try_put_var($self, data, /)\n--\n\ntry_put_var(data) -> int\n\nStore a variable-size message "
     "without waiting."},
    {"take", py_take<false>, METH_NOARGS,
     "take() -> bytes | None\n\nWait (without the GIL) for a fixed-size message; None once "
     "stopped and drained. Its slot stays held until release() or the next operation."},
    {"try_take", py_try_take<false>, METH_NOARGS,
     "try_take() -> bytes | None\n\nTake a fixed-size message if there is one."},
    {"take_var", py_take<true>, METH_NOARGS,
     "take_var() -> bytes | None\n\nWait (without the GIL) for a variable-size message; None "
     "once stopped and drained."},
    {"try_take_var", py_try_take<true>, METH_NOARGS,
     "try_take_var() -> bytes | None\n\nTake a variable-size message if there is one."},
    {"release", py_release, METH_NOARGS, "release()\n\nFree the message held by the last take."},
    {"stop", py_stop, METH_NOARGS,
     "stop()\n\nWake every waiter; refuse puts; takes drain what is left, then report the stop."},
    {"stats", py_stats, METH_NOARGS, "stats() -> dict\n\nCounters of the ring's life so far."},
    {"__reduce__", py_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef queue_getset[] = {
    {"slot_size", get_slot_size, nullptr, "Largest fixed-size message, in bytes.", nullptr},
    {"capacity", get_capacity, nullptr, "Number of fixed-size slots.", nullptr},
    {"overwrite", get_overwrite, nullptr, "A full ring drops its oldest message.", nullptr},
    {"zerocopy", get_zerocopy, nullptr, "Accepted for compatibility; no effect.", nullptr},
    {"block_on_full", get_block_on_full, nullptr, "put/put_var wait for room.", nullptr},
    {"max_var_size", get_max_var_size, nullptr, "Largest variable-size message, in bytes.",
     nullptr},
    {"mode", get_mode, nullptr, "'none' until the first put, then 'fixed' or 'variable'.", nullptr},
    {"stopped", get_stopped, nullptr, "True once stop() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PySequenceMethods queue_as_sequence = {};

// Filled in by module_exec; zero until then.
PyTypeObject queue_type{};

const char queue_doc[] =
    "SPSCQueue(slot_size=1024, capacity=16384, overwrite=False, zerocopy=False, "
    "block_on_full=False)\n\n"
    "Lock-free single-producer/single-consumer ring of byte messages.\n\n"
    "The buffer holds `capacity` slots of `slot_size` bytes (plus an 8-byte header each).\n"
    "The first put decides the format for the queue's life: fixed-size messages (put,\n"
    "try_put, take, try_take, release) of at most slot_size bytes, or variable-size\n"
    "records (put_var, try_put_var, take_var, try_take_var) of at most max_var_size\n"
    "bytes (about half the buffer) sharing the same bytes. Longer messages are refused,\n"
    "never truncated; the other format's operations are refused.\n\n"
    "overwrite: a full ring drops its oldest message to store the new one.\n"
    "zerocopy: accepted for compatibility; has no effect.\n"
    "block_on_full: put/put_var wait for room (or stop()) instead of refusing;\n"
    "    try_put/try_put_var never wait; no effect together with overwrite.\n\n"
    "stop() wakes every waiter and refuses later puts; takes still deliver what the\n"
    "ring holds, then report the stop.";

int module_exec(PyObject *module) noexcept {
  return guarded<int>(-1, [&] {
    if (!(queue_type.tp_flags & Py_TPFLAGS_READY)) {
      Py_SET_REFCNT(&queue_type, 1);
      Py_SET_TYPE(&queue_type, &PyType_Type);
      queue_as_sequence.sq_length = queue_len;
      queue_type.tp_name = "vestrel.spsc_queue.spsc_queue.SPSCQueue";
      queue_type.tp_basicsize = sizeof(VestrelSPSCQueue);
      queue_type.tp_dealloc = queue_dealloc;
      queue_type.tp_repr = queue_repr;
      queue_type.tp_as_sequence = &queue_as_sequence;
      queue_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
      queue_type.tp_doc = queue_doc;
      queue_type.tp_methods = queue_methods;
      queue_type.tp_getset = queue_getset;
      queue_type.tp_new = queue_new;
      if (PyType_Ready(&queue_type) < 0) throw_set();
      Ref capsule = check(PyCapsule_New(&vtable, nullptr, nullptr));
      check(PyDict_SetItemString(queue_type.tp_dict, "__pyx_vtable__", capsule.get()));
      PyType_Modified(&queue_type);
    }
    Py_INCREF(&queue_type);
    if (PyModule_AddObject(module, "SPSCQueue", reinterpret_cast<PyObject *>(&queue_type)) < 0) {
      Py_DECREF(&queue_type);
      throw_set();
    }
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {{Py_mod_exec, reinterpret_cast<void *>(module_exec)},
                                   {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "spsc_queue",
                          "Lock-free single-producer/single-consumer ring of byte messages.",
                          0,
                          nullptr,
                          module_slots,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_spsc_queue(void) {
  return PyModuleDef_Init(&module_def);
}
