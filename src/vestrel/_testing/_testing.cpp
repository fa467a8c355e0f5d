// vestrel._testing._testing: a native producer module, written as any
// producer outside this package would be. It reaches the dispatchers only
// through the public headers: the object layouts give each instance's method
// table pointer and its `_push_fn`, and the tables give `push`/`push_var` and
// `try_push`/`try_push_var`.
//
//   start(dispatcher, count, size=64, *, min_size=0, max_size=0, rate=0.0,
//         retry=False, via="table") -> Producer
//
// starts a thread that pushes `count` messages. Each message carries its
// sequence number and the time it was made (see Message format); the rest is
// a pattern derived from the sequence number, so a consumer can check that it
// arrived intact. The thread never touches Python and never holds the GIL.
//
// Refused pushes: with `retry` the producer pushes with the table's
// try_push/try_push_var, which return the ring's result, and tries again
// while the ring is full, so `pushed` counts stored messages. Without it,
// AsyncDispatcher's and SyncDispatcher's `push` report nothing (the ring
// counts what it refuses: the dispatcher's stats()), and ThreadedDispatcher's
// `push` returns the ring's result, as `put` gives it.
//
// Besides the public headers it needs only <Python.h>, the standard library
// and the files of this folder, so the folder builds on its own against an
// installed vestrel; on Linux, with one command (here over three lines):
//
//   c++ -std=c++20 -O2 -shared -fPIC -pthread $(python3-config --includes)
//     -I"$(python3 -c 'import vestrel; print(vestrel.get_include())')"
//     _testing.cpp -o _testing$(python3-config --extension-suffix)
#include <Python.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "message.hpp"
#include "producer_kit.hpp"
#include "ref.hpp"
#include "vestrel/corvane.h"
#include "vestrel/spsc_queue.h"

namespace {

using vestrel::testing::Clock;
using vestrel::testing::Handle;
using vestrel::testing::Ref;
using vestrel::testing::restore_thread;

// ------------------------------------------------------------ message format
//
// message.hpp: sequence number, timestamp, then a pattern derived from both.

using vestrel::testing::fill;
using vestrel::testing::kHeader;
using vestrel::testing::pattern;

// Variable-size runs spread lengths over [min, max], derived from seq so the
// consumer can check them.
std::size_t length_for(std::uint64_t seq, std::size_t min, std::size_t max) noexcept {
  return min + static_cast<std::size_t>((seq * 2654435761u) % (max - min + 1));
}

// ------------------------------------------------------------ push targets

// How one dispatcher is pushed into, fixed when the producer starts. Each
// class has its own table types; `push` of AsyncDispatcher and
// SyncDispatcher returns nothing, every other entry the ring's result.
struct Target {
  void *self = nullptr;
  VestrelAsyncDispatcher_PushFn async_push = nullptr;
  VestrelSyncDispatcher_PushFn sync_push = nullptr;
  VestrelThreadedDispatcher_PushFn threaded_push = nullptr;  // push or try_push
  VestrelAsyncDispatcher_TryPushFn async_try_push = nullptr;
  VestrelSyncDispatcher_TryPushFn sync_try_push = nullptr;
  bool variable = false;

  // The ring's put result, or VESTREL_RING_STORED where the entry does not
  // say.
  int push(const char *data, std::size_t length) const noexcept {
    if (threaded_push)
      return threaded_push(static_cast<VestrelThreadedDispatcher *>(self), data, length);
    if (async_try_push)
      return async_try_push(static_cast<VestrelAsyncDispatcher *>(self), data, length);
    if (sync_try_push)
      return sync_try_push(static_cast<VestrelSyncDispatcher *>(self), data, length);
    if (sync_push) {
      sync_push(static_cast<VestrelSyncDispatcher *>(self), data, length);
    } else {
      async_push(static_cast<VestrelAsyncDispatcher *>(self), data, length);
    }
    return VESTREL_RING_STORED;
  }
};

// The entry to push with: try_push/try_push_var of the instance's class
// (the table pointer every instance carries) when the producer wants the
// ring's answer, else push/push_var, or the instance's `_push_fn`, which
// already matches its mode.
template <class D, class PushFn, class TryFn>
void pick(D *d, bool use_push_fn, bool try_push, PushFn &push, TryFn &try_fn, bool &variable) {
  variable = d->_push_fn == d->vtab->push_var;
  if (try_push)
    try_fn = variable ? d->vtab->try_push_var : d->vtab->try_push;
  else
    push = use_push_fn ? d->_push_fn : (variable ? d->vtab->push_var : d->vtab->push);
}

// ------------------------------------------------------------ one run

struct Run {
  Ref dispatcher;  // the run never outlives the dispatcher
  Ref queue;       // its ring, stopped as a last resort at exit
  Target target;
  std::uint64_t count = 0;
  std::size_t min_size = 0, max_size = 0;
  double rate = 0;
  bool retry = false;
  std::vector<char> buffer;  // allocated before the thread starts

  std::atomic<std::uint64_t> pushed{0}, refused{0};
  std::atomic<bool> cancelled{false};
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::thread thread;

  void body() noexcept;
};

void Run::body() noexcept {
  const auto start = Clock::now();
  for (std::uint64_t seq = 0; seq < count && !cancelled.load(std::memory_order_relaxed); ++seq) {
    if (rate > 0)
      std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>(seq / rate)));
    const std::size_t length = length_for(seq, min_size, max_size);
    fill(buffer.data(), seq, length);
    int rc;
    for (int tries = 0;; ++tries) {
      rc = target.push(buffer.data(), length);
      if (rc != VESTREL_RING_FULL || !retry || cancelled.load(std::memory_order_relaxed)) break;
      // Back off: the consumer needs the CPU to make room, and a spinning
      // producer on a small machine takes it away (and drags the ring's
      // indices between cores). A short sleep lets it drain a batch.
      if (tries < 2)
        std::this_thread::yield();
      else
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    if (rc == VESTREL_RING_STORED) {
      pushed.fetch_add(1, std::memory_order_relaxed);
    } else {
      refused.fetch_add(1, std::memory_order_relaxed);
      if (rc == VESTREL_RING_STOPPED) break;  // a stopped ring takes nothing more
    }
  }
  std::lock_guard lock(mutex);
  done = true;
  finished.notify_all();
}

// Runs that have a thread. Only touched with the GIL held.
std::vector<Run *> running;

// Waits for the thread without the GIL; true when it has ended (and is
// joined).
bool wait_for(Run &run, double timeout) {
  bool ended;
  PyThreadState *ts = PyEval_SaveThread();
  {
    std::unique_lock lock(run.mutex);
    auto is_done = [&] { return run.done; };
    if (timeout < 0) {
      run.finished.wait(lock, is_done);
    } else {
      run.finished.wait_for(lock, std::chrono::duration<double>(timeout), is_done);
    }
    ended = run.done;
  }
  restore_thread(ts);
  if (ended && run.thread.joinable()) {
    run.thread.join();
    std::erase(running, &run);
  }
  return ended;
}

// ------------------------------------------------------------ Producer type

Run &run_of(PyObject *o) noexcept {
  return Handle<Run>::of(o);
}

PyObject *producer_join(PyObject *self, PyObject *args, PyObject *kwds) noexcept {
  static const char *names[] = {"timeout", nullptr};
  PyObject *timeout = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:join", const_cast<char **>(names), &timeout))
    return nullptr;
  double t = -1;
  if (timeout != Py_None) {
    t = PyFloat_AsDouble(timeout);
    if (t == -1 && PyErr_Occurred()) return nullptr;
    if (t < 0) t = 0;
  }
  return PyBool_FromLong(wait_for(run_of(self), t));
}

PyObject *producer_cancel(PyObject *self, PyObject *) noexcept {
  run_of(self).cancelled = true;
  Py_RETURN_NONE;
}

PyObject *get_pushed(PyObject *self, void *) noexcept {
  return PyLong_FromUnsignedLongLong(run_of(self).pushed.load());
}
PyObject *get_refused(PyObject *self, void *) noexcept {
  return PyLong_FromUnsignedLongLong(run_of(self).refused.load());
}
PyObject *get_done(PyObject *self, void *) noexcept {
  Run &run = run_of(self);
  std::lock_guard lock(run.mutex);
  return PyBool_FromLong(run.done);
}

// Dropping the handle cancels the run and waits for its thread.
void cancel_and_wait(Run &run) noexcept {
  run.cancelled = true;
  wait_for(run, -1);
}

PyMethodDef producer_methods[] = {
    {"join", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(producer_join)),
     METH_VARARGS | METH_KEYWORDS,
     "join(timeout=None) -> bool\n\nWait for the producer to finish; False on time-out."},
    {"cancel", producer_cancel, METH_NOARGS, "cancel()\n\nStop after the current message."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef producer_getset[] = {
    {"pushed", get_pushed, nullptr,
     "Messages stored (handed over, for Async/SyncDispatcher push without retry).", nullptr},
    {"refused", get_refused, nullptr,
     "Messages the ring refused (not known for Async/SyncDispatcher push without retry).", nullptr},
    {"done", get_done, nullptr, "Whether the thread has finished.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject producer_type = vestrel::testing::handle_type<Run, cancel_and_wait>(
    "vestrel._testing._testing.Producer", "A running native producer; made by start().",
    producer_methods, producer_getset);

// ------------------------------------------------------------ module functions

// Fills `target` for `d`, one of the three dispatcher classes.
bool resolve(PyObject *d, bool use_push_fn, bool try_push, Target &target) {
  Ref mod = Ref::steal(PyImport_ImportModule("vestrel.utils.corvane.corvane"));
  if (!mod) return false;
  const char *names[] = {"AsyncDispatcher", "SyncDispatcher", "ThreadedDispatcher"};
  for (int i = 0; i < 3; ++i) {
    Ref cls = Ref::steal(PyObject_GetAttrString(mod.get(), names[i]));
    if (!cls) return false;
    const int is = PyObject_IsInstance(d, cls.get());
    if (is < 0) return false;
    if (!is) continue;
    target.self = d;
    if (i == 0)
      pick(reinterpret_cast<VestrelAsyncDispatcher *>(d), use_push_fn, try_push, target.async_push,
           target.async_try_push, target.variable);
    if (i == 1)
      pick(reinterpret_cast<VestrelSyncDispatcher *>(d), use_push_fn, try_push, target.sync_push,
           target.sync_try_push, target.variable);
    if (i == 2)
      pick(reinterpret_cast<VestrelThreadedDispatcher *>(d), use_push_fn, try_push,
           target.threaded_push, target.threaded_push, target.variable);
    return true;
  }
  PyErr_Format(PyExc_TypeError, "expected a vestrel dispatcher, got %.200s", Py_TYPE(d)->tp_name);
  return false;
}

// The dispatcher's ring object: `_q` comes first in every class's layout.
PyObject *queue_field(PyObject *d) {
  return reinterpret_cast<VestrelThreadedDispatcher *>(d)->_q;
}

PyObject *start(PyObject *, PyObject *args, PyObject *kwds) noexcept {
  static const char *names[] = {"dispatcher", "count", "size", "min_size", "max_size",
                                "rate",       "retry", "via",  nullptr};
  PyObject *d;
  long long count;
  Py_ssize_t size = 64, min_size = 0, max_size = 0;
  double rate = 0;
  int retry = 0;
  const char *via = "table";
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "OL|n$nndps:start", const_cast<char **>(names), &d,
                                   &count, &size, &min_size, &max_size, &rate, &retry, &via))
    return nullptr;
  const bool use_push_fn = std::strcmp(via, "push_fn") == 0;
  if (!use_push_fn && std::strcmp(via, "table") != 0) {
    PyErr_SetString(PyExc_ValueError, "via must be 'table' or 'push_fn'");
    return nullptr;
  }
  Target target;
  if (!resolve(d, use_push_fn, retry, target)) return nullptr;
  if (!target.variable) min_size = max_size = size;
  if (min_size == 0) min_size = size;
  if (max_size == 0) max_size = size;
  if (count < 0 || min_size < static_cast<Py_ssize_t>(kHeader) || max_size < min_size) {
    PyErr_SetString(PyExc_ValueError, "need count >= 0 and 16 <= min_size <= max_size");
    return nullptr;
  }
  Ref handle = Ref::steal(PyObject_New(PyObject, &producer_type));
  if (!handle) return nullptr;
  auto *p = reinterpret_cast<Handle<Run> *>(handle.get());
  p->run = nullptr;
  std::unique_ptr<Run> run;
  try {
    run = std::make_unique<Run>();
    run->dispatcher = Ref::borrow(d);
    run->queue = Ref::borrow(queue_field(d));
    run->target = target;
    run->count = static_cast<std::uint64_t>(count);
    run->min_size = static_cast<std::size_t>(min_size);
    run->max_size = static_cast<std::size_t>(max_size);
    run->rate = rate;
    run->retry = retry;
    run->buffer.resize(run->max_size);
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  }
  Run &r = *run;
  if (!vestrel::testing::start_listed(running, r, r.thread, [&r] { r.body(); })) return nullptr;
  p->run = run.release();
  return handle.release();
}

PyObject *decode(PyObject *, PyObject *msg) noexcept {
  Py_buffer view;
  if (PyObject_GetBuffer(msg, &view, PyBUF_SIMPLE) < 0) return nullptr;
  const auto *b = static_cast<const unsigned char *>(view.buf);
  const auto n = static_cast<std::size_t>(view.len);
  std::uint64_t seq = 0, t = 0;
  PyObject *result = nullptr;
  if (n < kHeader) {
    PyErr_Format(PyExc_ValueError, "message of %zu bytes has no header", n);
  } else {
    std::memcpy(&seq, b, 8);
    std::memcpy(&t, b + 8, 8);
    std::size_t i = kHeader;
    while (i < n && b[i] == pattern(seq, i)) ++i;
    if (i < n) {
      PyErr_Format(PyExc_ValueError, "message %llu is corrupt at byte %zu",
                   static_cast<unsigned long long>(seq), i);
    } else {
      result = Py_BuildValue("(KK)", static_cast<unsigned long long>(seq),
                             static_cast<unsigned long long>(t));
    }
  }
  PyBuffer_Release(&view);
  return result;
}

// For Python producers (an AsyncQueue task): the same messages, stamped now.
PyObject *encode(PyObject *, PyObject *args) noexcept {
  unsigned long long seq;
  Py_ssize_t length;
  if (!PyArg_ParseTuple(args, "Kn:encode", &seq, &length)) return nullptr;
  if (length < static_cast<Py_ssize_t>(kHeader)) {
    PyErr_Format(PyExc_ValueError, "a message needs at least %zu bytes", kHeader);
    return nullptr;
  }
  PyObject *msg = PyBytes_FromStringAndSize(nullptr, length);
  if (msg) fill(PyBytes_AS_STRING(msg), seq, static_cast<std::size_t>(length));
  return msg;
}

PyObject *message_length(PyObject *, PyObject *args) noexcept {
  unsigned long long seq;
  Py_ssize_t min, max;
  if (!PyArg_ParseTuple(args, "Knn:message_length", &seq, &min, &max)) return nullptr;
  if (min < 0 || max < min) {
    PyErr_SetString(PyExc_ValueError, "need 0 <= min_size <= max_size");
    return nullptr;
  }
  return PyLong_FromSize_t(
      length_for(seq, static_cast<std::size_t>(min), static_cast<std::size_t>(max)));
}

PyObject *ring_of(PyObject *, PyObject *d) noexcept {
  Target target;
  if (!resolve(d, false, false, target)) return nullptr;
  return Ref::borrow(queue_field(d)).release();
}

// At exit, before threading joins non-daemon threads (so that a reader
// draining its ring is not fed forever) and again before the interpreter
// finalizes: every producer still running is cancelled and joined, so none
// writes into a ring that finalization frees. One blocked in a full
// block_on_full ring is released by stopping the ring.
PyObject *join_all_at_exit(PyObject *, PyObject *) noexcept {
  while (!running.empty()) {
    Run &run = *running.back();
    run.cancelled = true;
    if (!wait_for(run, 1.0)) {
      auto *q = reinterpret_cast<VestrelSPSCQueue *>(run.queue.get());
      q->vtab->stop(q);
      wait_for(run, -1);
    }
  }
  Py_RETURN_NONE;
}

PyMethodDef exit_hook_def = {"_join_producers", join_all_at_exit, METH_NOARGS,
                             "Joins running producers before the interpreter finalizes."};

PyMethodDef module_methods[] = {
    {"start", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(start)),
     METH_VARARGS | METH_KEYWORDS,
     "start(dispatcher, count, size=64, *, min_size=0, max_size=0, rate=0.0, retry=False, "
     "via='table') -> Producer\n\n"
     "Push `count` messages from a new native thread, through the class's table or (via="
     "'push_fn') the instance's _push_fn. Fixed-size dispatchers get `size`-byte messages, "
     "variable-size ones lengths in [min_size, max_size] (message_length). `rate` paces in "
     "messages/s; `retry` pushes with try_push and retries while the ring is full."},
    {"decode", decode, METH_O,
     "decode($module, msg, /)\n--\n\ndecode(msg) -> (seq, timestamp_ns)\n\nRaises ValueError when "
     "the payload is not intact."},
    {"encode", encode, METH_VARARGS,
     "encode(seq, length) -> bytes\n\nMessage `seq` of `length` bytes, time-stamped now."},
    {"message_length", message_length, METH_VARARGS,
     "message_length(seq, min_size, max_size) -> int\n\nLength of message `seq` in a "
     "variable-size run."},
    {"now_ns", vestrel::testing::now_ns, METH_NOARGS,
     "now_ns() -> int\n\nThe producers' clock, in ns."},
    {"ring_of", ring_of, METH_O,
     "ring_of($module, dispatcher, /)\n--\n\nring_of(dispatcher) -> SPSCQueue\n\nThe dispatcher's "
     "ring."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_testing",
    "Native producer threads (see vestrel._testing).",
    -1,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__testing() {
  Ref mod = Ref::steal(PyModule_Create(&module_def));
  if (!mod || !vestrel::testing::add_type(mod.get(), "Producer", producer_type) ||
      !vestrel::testing::register_exit_hook(exit_hook_def))
    return nullptr;
  return mod.release();
}
