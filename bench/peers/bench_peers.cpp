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
// ns, then a pattern), so one callback serves every variant, and the peers
// share its producer kit (owning handles, thread start, GIL, exit hook).
// Every thread is joined by join(), by deallocation, or at the latest by the
// kit's exit hook, which runs before the interpreter finalizes.
#include <Python.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "ring/spsc_ring.hpp"
#include "vestrel/_testing/message.hpp"
#include "vestrel/_testing/producer_kit.hpp"
#include "vestrel/_testing/ref.hpp"

namespace {

using vestrel::testing::Handle;
using vestrel::testing::join_released;
using vestrel::testing::Ref;
using vestrel::testing::restore_thread;

// ------------------------------------------------------------ messages

// The same work vestrel._testing's producer does per message.
using vestrel::testing::fill;
using vestrel::testing::kHeader;

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
    restore_thread(ts);
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
  restore_thread(ts);
  PyThreadState_Clear(ts);
  PyThreadState_DeleteCurrent();
}

GilRun &gil_run(PyObject *o) noexcept {
  return Handle<GilRun>::of(o);
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
    reinterpret_cast<Handle<GilRun> *>(self.get())->run = run.release();
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
  if (!vestrel::testing::start_listed(running, run, run.thread, [r = &run] { r->body(); }))
    return nullptr;
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

PyTypeObject gil_type = vestrel::testing::handle_type<GilRun, cancel_and_join>(
    "bench_peers.GilPeer",
    "GilPeer(target, count, size, first=None): a native thread calling target(bytes), or "
    "target(first, bytes), per message.",
    gil_methods, gil_getset, gil_new);

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

RingRun &ring_run(PyObject *o) noexcept {
  return Handle<RingRun>::of(o);
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
    reinterpret_cast<Handle<RingRun> *>(self.get())->run = run.release();
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
  if (!vestrel::testing::start_listed(running, run, run.thread, [r = &run] { r->body(); }))
    return nullptr;
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
    restore_thread(ts);
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

PyTypeObject ring_type = vestrel::testing::handle_type<RingRun, cancel_and_join>(
    "bench_peers.RingPeer",
    "RingPeer(count, size, capacity): a ring with one wake datagram per put.", ring_methods,
    ring_getset, ring_new);

// ------------------------------------------------------------ module

// At exit (register_exit_hook says when): no peer thread may still want the
// GIL once the interpreter finalizes.
PyObject *join_all_at_exit(PyObject *, PyObject *) noexcept {
  while (!running.empty()) cancel_and_join(*running.back());
  Py_RETURN_NONE;
}

PyMethodDef exit_hook_def = {"_join_peers", join_all_at_exit, METH_NOARGS,
                             "Joins running peer threads before the interpreter finalizes."};

PyMethodDef module_methods[] = {
    {"now_ns", vestrel::testing::now_ns, METH_NOARGS,
     "now_ns() -> int\n\nThe clock the messages carry, in ns."},
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

}  // namespace

PyMODINIT_FUNC PyInit_bench_peers() {
  using vestrel::testing::add_type;
  Ref mod = Ref::steal(PyModule_Create(&module_def));
  if (!mod || !add_type(mod.get(), "GilPeer", gil_type) ||
      !add_type(mod.get(), "RingPeer", ring_type) ||
      !vestrel::testing::register_exit_hook(exit_hook_def))
    return nullptr;
  return mod.release();
}
