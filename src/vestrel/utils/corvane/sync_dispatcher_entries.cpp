// SyncDispatcher's entries. One message, from push to callback:
//
//  1. A native producer calls `push` (or `push_var`, or `_push_fn`): try_put
//     on the ring and, when it stored the message, one wake datagram from the
//     dispatcher's socket to itself (wake_target.hpp).
//  2. The reader, a threading.Thread whose target is the instance's
//     `_try_pop` (so a subclass's reader runs), is the `reader` entry below.
//     Waiting in recvfrom with the GIL released because its last take found
//     the ring empty, it wakes and takes the GIL back.
//  3. It takes one message through the table's `__try_pop` (take_one:
//     try_take and a bytes copy, reader_steps.hpp), calls callback(msg), and
//     takes again; it waits for the next datagram only when a take finds the
//     ring empty.
//
// Ending the reader. The public layout has no room for a stop flag, and it
// needs none: close sets `_fd` to kNoSocket and then sends the wake datagram
// through the handle it held. The reader reads `_fd` afresh before every
// wait; kNoSocket on a dispatcher that has a socket (`_sock` is set by setup
// and kept until deallocation) means closed, and the loop returns normally
// once the ring is drained. kNoSocket without a socket means there was never
// anything to wait on: that is an error, not a loop that never blocks. close
// leaves the socket open: a reader may be about to enter recvfrom on it, and
// a closed handle could be reused for someone else's socket.
#include "sync_dispatcher_entries.hpp"

#include <atomic>
#include <cerrno>

#include "class_support.hpp"
#include "exit_hooks.hpp"
#include "platform/wake.hpp"
#include "pyrt/call.hpp"
#include "pyrt/error.hpp"
#include "reader_steps.hpp"
#include "sync_dispatcher.hpp"
#include "wake_socket.hpp"

namespace vestrel::corvane::sync {

namespace {

using pyrt::attr;
using pyrt::call_method;
using pyrt::check;
using pyrt::Ref;

PyObject *as_obj(Self *self) {
  return reinterpret_cast<PyObject *>(self);
}

// ------------------------------------------------------------ setup

void setup_body(Self *self, VestrelSetupOptArgs *opt) {
  // One socket and one reader per dispatcher: a second reader would be a
  // second consumer of the ring, and the first one would never be woken.
  if (self->_sock != Py_None)
    pyrt::raise(PyExc_RuntimeError, "SyncDispatcher.setup: this dispatcher is already set up");
  // Its reader would end at once: the interpreter is about to finalize.
  if (at_exit::exiting.load(std::memory_order_relaxed))
    pyrt::raise(PyExc_RuntimeError, "SyncDispatcher.setup: the interpreter is exiting");
  Ref socket_mod = check(PyImport_ImportModule("socket"));
  Ref threading = check(PyImport_ImportModule("threading"));

  // Looked up on the instance: a subclass's reader becomes the thread body.
  const char *reader_name = self->_variable_size ? "_try_pop_var" : "_try_pop";
  Ref target = attr(as_obj(self), reader_name);
  // Only our reader announces that it is about to wait: one of a subclass
  // is woken by every push, as without idle wakes.
  self->_private->idle.enabled = self->_private->want_idle_wakes &&
                                 !overridden(sync_dispatcher_class(), as_obj(self), reader_name);

  Ref sock = open_wake_socket(socket_mod.get(), true, setup_host(opt));
  set_field(self->_sock, Ref::borrow(sock.get()));
  publish_bound_socket(sock.get(), self->_fd, self->_addr, "SyncDispatcher.setup");

  Ref thread_type = attr(threading.get(), "Thread");
  Ref args = check(PyTuple_New(0));
  Ref kwargs = check(PyDict_New());
  check(PyDict_SetItemString(kwargs.get(), "target", target.get()));
  check(PyDict_SetItemString(kwargs.get(), "daemon", self->_daemon ? Py_True : Py_False));
  Ref thread = pyrt::call_tuple(thread_type.get(), args.get(), kwargs.get());
  call_method(thread.get(), "start");
}

// ------------------------------------------------------------ the reader

[[noreturn]] void raise_socket_error(int error) {
#ifdef _WIN32
  PyErr_SetExcFromWindowsErr(PyExc_OSError, error);
#else
  errno = error;
  PyErr_SetFromErrno(PyExc_OSError);
#endif
  pyrt::throw_set();
}

// Waits for one wake datagram with the GIL released. False when the
// dispatcher is closed.
bool wait_for_wake(Self *self, const char *name) {
  const platform::Socket fd = load_wake_fd(self->_fd);
  if (fd == platform::kNoSocket) {
    if (self->_sock != Py_None) return false;
    PyErr_Format(PyExc_RuntimeError, "%s: there is no socket to wait on; setup() starts the reader",
                 name);
    pyrt::throw_set();
  }
  PyThreadState *thread_state = PyEval_SaveThread();
  const int got = platform::receive_wake(fd);
  const int error = got < 0 ? platform::last_socket_error() : 0;
  // Parks this thread if the interpreter has begun to finalize meanwhile.
  pyrt::restore_thread(thread_state);
  // A failed wait ends the loop rather than spinning; a signal only retries.
  if (got < 0 && !platform::is_interrupted(error)) raise_socket_error(error);
  return true;
}

using TakeEntry = VestrelSyncDispatcher_PopFn VestrelSyncDispatcher_VTable::*;

void reader_loop(Self *self, TakeEntry take, const char *name) {
  for (;;) {
    // At exit a reader delivers nothing more: the interpreter is about to
    // finalize under it.
    if (at_exit::exiting.load(std::memory_order_relaxed)) return;
    Ref next = take_or_announce(*self->_private, [&] { return (self->vtab->*take)(self); });
    if (next.get() != Py_None) {
      call_callback(self->_callback, next.get());
      continue;
    }
    if (!wait_for_wake(self, name)) return;
  }
}

// The loop, counted as a running reader for the exit hooks.
void run_reader(Self *self, TakeEntry take, const char *name) {
  if (!at_exit::sync_reader_started(self)) return;
  try {
    reader_loop(self, take, name);
  } catch (...) {
    at_exit::sync_reader_ended(self);
    throw;
  }
  at_exit::sync_reader_ended(self);
}

}  // namespace

void setup(Self *self, int override_flag, VestrelSetupOptArgs *opt) noexcept {
  const ClassDef &c = sync_dispatcher_class();
  auto body = [&] { setup_body(self, opt); };
  if (opt && opt->count > 0)
    run_entry(c, as_obj(self), override_flag, "setup", {opt->host}, body);
  else
    run_entry(c, as_obj(self), override_flag, "setup", {}, body);
}

void reader(Self *self, int override_flag) noexcept {
  run_entry(sync_dispatcher_class(), as_obj(self), override_flag, "_try_pop", {}, [&] {
    run_reader(self, &VestrelSyncDispatcher_VTable::private_try_pop, "SyncDispatcher._try_pop");
  });
}

void reader_var(Self *self, int override_flag) noexcept {
  run_entry(sync_dispatcher_class(), as_obj(self), override_flag, "_try_pop_var", {}, [&] {
    run_reader(self, &VestrelSyncDispatcher_VTable::private_try_pop_var,
               "SyncDispatcher._try_pop_var");
  });
}

PyObject *take_one(Self *self) noexcept {
  return take_copy(self->_q, &VestrelSPSCQueue_VTable::try_take);
}

PyObject *take_one_var(Self *self) noexcept {
  return take_copy(self->_q, &VestrelSPSCQueue_VTable::try_take_var);
}

void close(Self *self, int override_flag) noexcept {
  run_entry(sync_dispatcher_class(), as_obj(self), override_flag, "close", {},
            [&] { stop_reader(self); });
}

void stop_reader(Self *self) noexcept {
  // Late pushes only store from here on; the datagram wakes a waiting
  // reader, which then finds the stop request.
  send_wake_to(retract_wake_target(self->_fd), self->_addr);
}

}  // namespace vestrel::corvane::sync
