// SyncDispatcher's reader: a threading.Thread that takes messages one at a
// time, calls the callback with each, and sleeps in recvfrom (GIL released)
// only after a take found the ring empty.
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
#include <atomic>
#include <cerrno>
#include <initializer_list>

#include "class_support.hpp"
#include "dispatcher_push.hpp"
#include "dispatcher_reader.hpp"
#include "exit_hooks.hpp"
#include "platform/wake.hpp"
#include "pyrt/call.hpp"
#include "pyrt/error.hpp"
#include "pyrt/traceback.hpp"
#include "sync_dispatcher.hpp"
#include "sync_entries.hpp"
#include "vestrel/spsc_queue.h"

namespace vestrel::corvane::sync {

namespace {

using pyrt::check;
using pyrt::guarded;
using pyrt::Ref;
using Self = VestrelSyncDispatcher;

PyObject *as_obj(Self *self) {
  return reinterpret_cast<PyObject *>(self);
}

// With the flag 0 a Python subclass's method of the same name runs instead
// of the entry's body; true when it did.
bool ran_override(Self *self, int override_flag, const char *name,
                  std::initializer_list<PyObject *> args) {
  if (override_flag != 0) return false;
  return static_cast<bool>(
      call_override(as_obj(self), name, spec_of(sync_dispatcher_class(), name), args));
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

  Ref sock = open_wake_socket(socket_mod.get(), true, setup_host(opt));
  set_field(self->_sock, Ref::borrow(sock.get()));
  publish_bound_socket(sock.get(), self->_fd, self->_addr, "SyncDispatcher.setup");

  // Looked up on the instance: a subclass's reader becomes the thread body.
  Ref target = attr(as_obj(self), self->_variable_size ? "_try_pop_var" : "_try_pop");
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
    Ref msg = check((self->vtab->*take)(self));
    if (msg.get() != Py_None) {
      Ref callback = Ref::borrow(self->_callback);
      pyrt::call_one(callback.get(), msg.get());
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
  guarded(0, [&] {
    if (opt && opt->count > 0 ? ran_override(self, override_flag, "setup", {opt->host})
                              : ran_override(self, override_flag, "setup", {}))
      return 0;
    setup_body(self, opt);
    return 0;
  });
}

void try_pop(Self *self, int override_flag) noexcept {
  guarded(0, [&] {
    if (ran_override(self, override_flag, "_try_pop", {})) return 0;
    run_reader(self, &VestrelSyncDispatcher_VTable::private_try_pop, "SyncDispatcher._try_pop");
    return 0;
  });
}

void try_pop_var(Self *self, int override_flag) noexcept {
  guarded(0, [&] {
    if (ran_override(self, override_flag, "_try_pop_var", {})) return 0;
    run_reader(self, &VestrelSyncDispatcher_VTable::private_try_pop_var,
               "SyncDispatcher._try_pop_var");
    return 0;
  });
}

PyObject *take_one(Self *self) noexcept {
  return take_copy(self->_q, &VestrelSPSCQueue_VTable::try_take);
}

PyObject *take_one_var(Self *self) noexcept {
  return take_copy(self->_q, &VestrelSPSCQueue_VTable::try_take_var);
}

void close(Self *self, int override_flag) noexcept {
  guarded(0, [&] {
    if (ran_override(self, override_flag, "close", {})) return 0;
    stop_reader(self);
    return 0;
  });
}

void stop_reader(Self *self) noexcept {
  // Late pushes only store from here on; the datagram wakes a waiting
  // reader, which then finds the stop request.
  send_wake_to(retract_wake_target(self->_fd), self->_addr);
}

}  // namespace vestrel::corvane::sync
