// bench_peers: the hand-written yardsticks of bench/dispatch_bench.py. Built
// by that script for the running interpreter; never installed.
//
//   GilPeer(target, count, size, first=None)
//     A native thread that, per message, makes the message, takes the GIL,
//     builds the bytes and calls `target` with them (a callback, or a
//     queue.SimpleQueue's put), or target(first, bytes) when `first` is given
//     (loop.call_soon_threadsafe with a callback). It keeps one thread state
//     for its whole life and only swaps it in and out, so no message pays for
//     a new one.
//
//   RingPeer(count, size, capacity)
//     A ring of `capacity` slots of `size` bytes (vestrel's own ring code)
//     and a loopback UDP socket. start() runs a native producer that puts
//     each message with try_put and sends one wake datagram after it;
//     drain(callback), called from a Python thread, delivers `count`
//     messages with the GIL held and waits in recvfrom without it whenever
//     the ring is empty. An asyncio reader takes with try_take() instead
//     and waits with loop.sock_recv on a socket made from fileno().
//
// Messages use the layout of vestrel._testing (sequence number, clock time in
// ns, then a pattern), so one callback serves every variant. Every thread is
// joined by join(), by deallocation, or at the latest by an atexit hook that
// runs before the interpreter finalizes.
#include <Python.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "pyrt/ref.hpp"
#include "ring/spsc_ring.hpp"
#include "vestrel/_testing/message.hpp"

namespace {

using vestrel::pyrt::Ref;
using vestrel::testing::Clock;

// ------------------------------------------------------------ messages

// The same work vestrel._testing's producer does per message.
using vestrel::testing::fill;
using vestrel::testing::kHeader;
using vestrel::testing::now;

// A Python error moved off the thread that raised it, re-raised by join().
struct CarriedError {
  Ref type, value, traceback;

  void fetch() noexcept {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    type = Ref::steal(t);
    value = Ref::steal(v);
    traceback = Ref::steal(tb);
  }
  // True (and the error set) when there was one.
  bool restore() noexcept {
    if (!type) return false;
    PyErr_Restore(type.release(), value.release(), traceback.release());
    return true;
  }
};

// Parses (count, size) style arguments shared by both types.
bool check_sizes(long long count, Py_ssize_t size) {
  if (count < 0 || size < static_cast<Py_ssize_t>(kHeader)) {
    PyErr_SetString(PyExc_ValueError, "need count >= 0 and size >= 16");
    return false;
  }
  return true;
}

// Joins `thread` without the GIL (the thread may need it to finish).
void join_released(std::thread &thread) noexcept {
  if (!thread.joinable()) return;
  PyThreadState *ts = PyEval_SaveThread();
  thread.join();
  PyEval_RestoreThread(ts);
}

// Peers with a thread still running; the exit hook cancels and joins them.
// Only touched with the GIL held.
struct Joinable {
  std::atomic<bool> cancelled{false};
  std::thread thread;
  virtual void wake() noexcept {}
  virtual ~Joinable() = default;
};
std::vector<Joinable *> running;

void cancel_and_join(Joinable &j) noexcept {
  j.cancelled = true;
  j.wake();
  join_released(j.thread);
  std::erase(running, &j);
}

// ------------------------------------------------------------ GilPeer

struct GilRun final : Joinable {
  Ref target;
  Ref first;  // null: target(msg)
  PyInterpreterState *interp = nullptr;
  std::uint64_t count = 0;
  std::size_t size = 0;
  std::vector<char> buffer;
  std::atomic<std::uint64_t> delivered{0};
  CarriedError error;  // written by the thread under the GIL, read after join

  void body() noexcept;
};

void GilRun::body() noexcept {
  // Made here, not by the starting thread: a thread state belongs to the OS
  // thread that creates it. It starts detached; each message swaps it in.
  PyThreadState *ts = PyThreadState_New(interp);
  if (!ts) return;
  for (std::uint64_t seq = 0; seq < count && !cancelled.load(std::memory_order_relaxed); ++seq) {
    fill(buffer.data(), seq, size);
    PyEval_RestoreThread(ts);
    bool ok;
    {
      Ref msg = Ref::steal(PyBytes_FromStringAndSize(buffer.data(), static_cast<Py_ssize_t>(size)));
      Ref result;
      if (msg && first) {
        PyObject *args[] = {first.get(), msg.get()};
        result = Ref::steal(PyObject_Vectorcall(target.get(), args, 2, nullptr));
      } else if (msg) {
        result = Ref::steal(PyObject_CallOneArg(target.get(), msg.get()));
      }
      ok = static_cast<bool>(result);
      if (!ok) error.fetch();
    }
    PyEval_SaveThread();
    if (!ok) break;
    delivered.fetch_add(1, std::memory_order_relaxed);
  }
  PyEval_RestoreThread(ts);
  PyThreadState_Clear(ts);
  PyThreadState_DeleteCurrent();
}

struct GilPeerObject {
  PyObject_HEAD GilRun *run;
};

GilRun &gil_run(PyObject *o) {
  return *reinterpret_cast<GilPeerObject *>(o)->run;
}

PyObject *gil_new(PyTypeObject *type, PyObject *args, PyObject *kwds) noexcept {
  static const char *names[] = {"target", "count", "size", "first", nullptr};
  PyObject *target, *first = Py_None;
  long long count;
  Py_ssize_t size;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "OLn|O:GilPeer", const_cast<char **>(names), &target,
                                   &count, &size, &first) ||
      !check_sizes(count, size))
    return nullptr;
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  try {
    auto run = std::make_unique<GilRun>();
    run->target = Ref::borrow(target);
    if (first != Py_None) run->first = Ref::borrow(first);
    run->interp = PyInterpreterState_Get();
    run->count = static_cast<std::uint64_t>(count);
    run->size = static_cast<std::size_t>(size);
    run->buffer.resize(run->size);
    reinterpret_cast<GilPeerObject *>(self.get())->run = run.release();
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  }
  return self.release();
}

PyObject *gil_start(PyObject *self, PyObject *) noexcept {
  GilRun &run = gil_run(self);
  if (run.thread.joinable()) {
    PyErr_SetString(PyExc_RuntimeError, "already started");
    return nullptr;
  }
  try {
    running.reserve(running.size() + 1);
    run.thread = std::thread([r = &run] { r->body(); });
  } catch (const std::exception &) {
    PyErr_SetString(PyExc_RuntimeError, "can't start new thread");
    return nullptr;
  }
  running.push_back(&run);
  Py_RETURN_NONE;
}

PyObject *gil_join(PyObject *self, PyObject *) noexcept {
  GilRun &run = gil_run(self);
  join_released(run.thread);
  std::erase(running, &run);
  if (run.error.restore()) return nullptr;
  Py_RETURN_NONE;
}

PyObject *gil_delivered(PyObject *self, void *) noexcept {
  return PyLong_FromUnsignedLongLong(gil_run(self).delivered.load());
}

void gil_dealloc(PyObject *self) noexcept {
  if (GilRun *run = reinterpret_cast<GilPeerObject *>(self)->run) {
    cancel_and_join(*run);
    delete run;
  }
  Py_TYPE(self)->tp_free(self);
}

PyMethodDef gil_methods[] = {
    {"start", gil_start, METH_NOARGS, "start()\n\nStart the producer thread."},
    {"join", gil_join, METH_NOARGS,
     "join()\n\nWait for the thread; re-raises the error that stopped it, if any."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef gil_getset[] = {
    {"delivered", gil_delivered, nullptr, "Messages handed to the target.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject gil_type = [] {
  PyTypeObject t{};
  Py_SET_REFCNT(&t, 1);
  t.tp_name = "bench_peers.GilPeer";
  t.tp_basicsize = sizeof(GilPeerObject);
  t.tp_dealloc = gil_dealloc;
  t.tp_flags = Py_TPFLAGS_DEFAULT;
  t.tp_doc =
      "GilPeer(target, count, size, first=None): a native thread calling target(bytes), or "
      "target(first, bytes), per message.";
  t.tp_methods = gil_methods;
  t.tp_getset = gil_getset;
  t.tp_new = gil_new;
  return t;
}();

// ------------------------------------------------------------ RingPeer

struct RingRun final : Joinable {
  std::optional<vestrel::ring::Ring> ring;
  int fd = -1;
  sockaddr_in addr{};
  std::uint64_t count = 0;
  std::size_t size = 0;
  std::vector<char> buffer;
  std::atomic<std::uint64_t> refused{0};
  bool draining = false;  // GIL

  ~RingRun() override {
    if (fd >= 0) ::close(fd);
  }
  void send_wake() noexcept {
    const char byte = 1;
    (void)::sendto(fd, &byte, 1, 0, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
  }
  void wake() noexcept override { send_wake(); }
  void body() noexcept;
};

void RingRun::body() noexcept {
  for (std::uint64_t seq = 0; seq < count && !cancelled.load(std::memory_order_relaxed); ++seq) {
    fill(buffer.data(), seq, size);
    if (ring->try_put(buffer.data(), size) == vestrel::ring::kStored) {
      send_wake();
    } else {
      refused.fetch_add(1, std::memory_order_relaxed);
    }
  }
}

struct RingPeerObject {
  PyObject_HEAD RingRun *run;
};

RingRun &ring_run(PyObject *o) {
  return *reinterpret_cast<RingPeerObject *>(o)->run;
}

bool open_socket(RingRun &run) {
  run.fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (run.fd < 0 || ::bind(run.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
      ::getsockname(run.fd, reinterpret_cast<sockaddr *>(&run.addr), &len) != 0) {
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
  }
  return true;
}

PyObject *ring_new(PyTypeObject *type, PyObject *args, PyObject *kwds) noexcept {
  static const char *names[] = {"count", "size", "capacity", nullptr};
  long long count;
  Py_ssize_t size, capacity;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "Lnn:RingPeer", const_cast<char **>(names), &count,
                                   &size, &capacity) ||
      !check_sizes(count, size))
    return nullptr;
  if (capacity <= 0) {
    PyErr_SetString(PyExc_ValueError, "need capacity > 0");
    return nullptr;
  }
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  try {
    auto run = std::make_unique<RingRun>();
    vestrel::ring::Config config;
    config.slot_size = static_cast<std::size_t>(size);
    config.capacity = static_cast<std::size_t>(capacity);
    run->ring.emplace(config);
    run->count = static_cast<std::uint64_t>(count);
    run->size = static_cast<std::size_t>(size);
    run->buffer.resize(run->size);
    if (!open_socket(*run)) return nullptr;
    reinterpret_cast<RingPeerObject *>(self.get())->run = run.release();
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  } catch (const std::exception &e) {
    PyErr_SetString(PyExc_ValueError, e.what());
    return nullptr;
  }
  return self.release();
}

PyObject *ring_start(PyObject *self, PyObject *) noexcept {
  RingRun &run = ring_run(self);
  if (run.thread.joinable()) {
    PyErr_SetString(PyExc_RuntimeError, "already started");
    return nullptr;
  }
  try {
    running.reserve(running.size() + 1);
    run.thread = std::thread([r = &run] { r->body(); });
  } catch (const std::exception &) {
    PyErr_SetString(PyExc_RuntimeError, "can't start new thread");
    return nullptr;
  }
  running.push_back(&run);
  Py_RETURN_NONE;
}

// Delivers `count` messages to `callback`; returns early after cancel().
PyObject *ring_drain(PyObject *self, PyObject *callback) noexcept {
  RingRun &run = ring_run(self);
  if (run.draining) {
    PyErr_SetString(PyExc_RuntimeError, "one consumer at a time");
    return nullptr;
  }
  run.draining = true;
  // The peer object, and so `run`, stays alive while the caller holds it.
  Ref keep = Ref::borrow(self);
  std::uint64_t delivered = 0;
  while (delivered < run.count) {
    const char *data;
    std::size_t length;
    if (run.ring->try_take(&data, &length) == vestrel::ring::kTaken) {
      Ref msg = Ref::steal(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(length)));
      if (!msg || !Ref::steal(PyObject_CallOneArg(callback, msg.get()))) {
        run.draining = false;
        return nullptr;
      }
      ++delivered;
      continue;
    }
    if (run.cancelled.load(std::memory_order_relaxed)) break;
    // Empty: sleep until the next wake datagram. Stale datagrams only cost a
    // spare loop; the ring holds the messages.
    char byte;
    PyThreadState *ts = PyEval_SaveThread();
    const ssize_t got = ::recvfrom(run.fd, &byte, 1, 0, nullptr, nullptr);
    const int error = got < 0 ? errno : 0;
    PyEval_RestoreThread(ts);
    if (got < 0 && error != EINTR) {
      errno = error;
      run.draining = false;
      return PyErr_SetFromErrno(PyExc_OSError);
    }
  }
  run.draining = false;
  return PyLong_FromUnsignedLongLong(delivered);
}

// The asyncio reader's take: the message as bytes, or None when empty. The
// caller is the ring's one consumer, so not while drain() runs.
PyObject *ring_try_take(PyObject *self, PyObject *) noexcept {
  RingRun &run = ring_run(self);
  if (run.draining) {
    PyErr_SetString(PyExc_RuntimeError, "one consumer at a time");
    return nullptr;
  }
  const char *data;
  std::size_t length;
  if (run.ring->try_take(&data, &length) != vestrel::ring::kTaken) Py_RETURN_NONE;
  return PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(length));
}

PyObject *ring_fileno(PyObject *self, PyObject *) noexcept {
  return PyLong_FromLong(ring_run(self).fd);
}

// Untimed, before start(): fills and empties the ring once, so that the run
// does not pay first-touch page faults a long-lived ring would not.
PyObject *ring_warm(PyObject *self, PyObject *) noexcept {
  RingRun &run = ring_run(self);
  if (run.thread.joinable()) {
    PyErr_SetString(PyExc_RuntimeError, "already started");
    return nullptr;
  }
  while (run.ring->try_put(run.buffer.data(), run.size) == vestrel::ring::kStored) {
  }
  const char *data;
  std::size_t length;
  while (run.ring->try_take(&data, &length) == vestrel::ring::kTaken) {
  }
  Py_RETURN_NONE;
}

PyObject *ring_cancel(PyObject *self, PyObject *) noexcept {
  RingRun &run = ring_run(self);
  run.cancelled = true;
  run.send_wake();
  Py_RETURN_NONE;
}

PyObject *ring_join(PyObject *self, PyObject *) noexcept {
  RingRun &run = ring_run(self);
  join_released(run.thread);
  std::erase(running, &run);
  Py_RETURN_NONE;
}

PyObject *ring_refused(PyObject *self, void *) noexcept {
  return PyLong_FromUnsignedLongLong(ring_run(self).refused.load());
}

void ring_dealloc(PyObject *self) noexcept {
  if (RingRun *run = reinterpret_cast<RingPeerObject *>(self)->run) {
    cancel_and_join(*run);
    delete run;
  }
  Py_TYPE(self)->tp_free(self);
}

PyMethodDef ring_methods[] = {
    {"start", ring_start, METH_NOARGS, "start()\n\nStart the producer thread."},
    {"drain", ring_drain, METH_O,
     "drain(callback) -> int\n\nDeliver `count` messages (fewer after cancel())."},
    {"try_take", ring_try_take, METH_NOARGS,
     "try_take() -> bytes | None\n\nOne message, or None when the ring is empty."},
    {"fileno", ring_fileno, METH_NOARGS, "fileno() -> int\n\nThe wake socket's descriptor."},
    {"warm", ring_warm, METH_NOARGS, "warm()\n\nFill and empty the ring once (before start())."},
    {"cancel", ring_cancel, METH_NOARGS, "cancel()\n\nStop the producer and wake drain()."},
    {"join", ring_join, METH_NOARGS, "join()\n\nWait for the producer thread."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef ring_getset[] = {
    {"refused", ring_refused, nullptr, "Messages the ring refused (full).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject ring_type = [] {
  PyTypeObject t{};
  Py_SET_REFCNT(&t, 1);
  t.tp_name = "bench_peers.RingPeer";
  t.tp_basicsize = sizeof(RingPeerObject);
  t.tp_dealloc = ring_dealloc;
  t.tp_flags = Py_TPFLAGS_DEFAULT;
  t.tp_doc = "RingPeer(count, size, capacity): a ring with one wake datagram per put.";
  t.tp_methods = ring_methods;
  t.tp_getset = ring_getset;
  t.tp_new = ring_new;
  return t;
}();

// ------------------------------------------------------------ module

PyObject *now_ns(PyObject *, PyObject *) noexcept {
  return PyLong_FromUnsignedLongLong(now());
}

// Before the interpreter finalizes: no peer thread may still want the GIL.
PyObject *join_all_at_exit(PyObject *, PyObject *) noexcept {
  while (!running.empty()) cancel_and_join(*running.back());
  Py_RETURN_NONE;
}

PyMethodDef exit_hook_def = {"_join_peers", join_all_at_exit, METH_NOARGS,
                             "Joins running peer threads before the interpreter finalizes."};

PyMethodDef module_methods[] = {
    {"now_ns", now_ns, METH_NOARGS, "now_ns() -> int\n\nThe clock the messages carry, in ns."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "bench_peers",
    "Native peers for the dispatcher benchmark.",
    -1,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool add_type(PyObject *mod, const char *name, PyTypeObject &type) {
  if (PyType_Ready(&type) < 0) return false;
  Ref ref = Ref::borrow(reinterpret_cast<PyObject *>(&type));
  if (PyModule_AddObject(mod, name, ref.get()) < 0) return false;
  ref.release();
  return true;
}

}  // namespace

PyMODINIT_FUNC PyInit_bench_peers() {
  Ref mod = Ref::steal(PyModule_Create(&module_def));
  if (!mod || !add_type(mod.get(), "GilPeer", gil_type) ||
      !add_type(mod.get(), "RingPeer", ring_type))
    return nullptr;
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  Ref hook = Ref::steal(PyCFunction_New(&exit_hook_def, nullptr));
  if (!atexit || !hook) return nullptr;
  Ref r = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  if (!r) return nullptr;
  return mod.release();
}
