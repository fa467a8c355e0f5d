// AsyncDispatcher's entries. One message, from push to callback:
//
//  1. A native producer calls `push` (or `push_var`, or `_push_fn`): try_put
//     on the ring and, when it stored the message, one wake datagram from the
//     dispatcher's socket to itself (wake_target.hpp).
//  2. The reader task, waiting in loop.sock_recv(sock, 1) because its last
//     take found the ring empty, is woken on the loop's thread.
//  3. It takes one message with `_pop_fn` (take_one: try_take and a bytes
//     copy, reader_steps.hpp), awaits callback(msg), and takes again; it waits
//     for the next datagram only when a take finds the ring empty, so a
//     datagram that was dropped or arrived early never strands a message.
//
// setup binds the non-blocking wake socket, publishes the wake target and
// runs `_reader` as a task of the running loop. close may run on any thread.
// It retracts the wake target first, so a late push only stores and never
// sends to a handle the system may already have given to another socket.
// Then it hands the cancellation to the loop's thread (asyncio tasks are not
// thread-safe), and the socket is closed there once the task has ended:
// closed at once, it could be pulled from under a reader that is about to
// receive on it.
#include "async_dispatcher_entries.hpp"

#include <span>
#include <utility>

#include "async_dispatcher.hpp"
#include "class_support.hpp"
#include "pyrt/call.hpp"
#include "pyrt/coroutine.hpp"
#include "pyrt/error.hpp"
#include "reader_steps.hpp"
#include "wake_socket.hpp"

namespace vestrel::corvane::async {

namespace {

using pyrt::Await;
using pyrt::call_method;
using pyrt::check;
using pyrt::Co;
using pyrt::CoArgs;
using pyrt::Ref;

PyObject *as_obj(Self *self) {
  return reinterpret_cast<PyObject *>(self);
}

Self *as_self(PyObject *o) {
  return reinterpret_cast<Self *>(o);
}

// ------------------------------------------------------------ close's _finalize

// `_close_socket(sock, task)`: the done callback that closes the socket once
// the task has ended (bound to the socket).
Ref close_socket_body(PyObject *, pyrt::BoundArgs &a) {
  call_method(a[0].obj, "close");
  return Ref::borrow(Py_None);
}

const pyrt::Param kCloseSocketParams[] = {{"sock"}, {"task"}};

Method close_socket_def = {
    .name = "_close_socket",
    .line = __LINE__,
    .sig = {.params = kCloseSocketParams, .nparams = 2, .nrequired = 2},
    .body = close_socket_body,
    .qualname = "close.<locals>._close_socket",
    .traceback_name = "vestrel.utils.corvane.corvane.AsyncDispatcher.close._close_socket",
};

// Made by the module's exec step, so that close does not build functions
// (not even from a finalizer). Kept for the process, as the module's other
// functions are.
PyObject *close_socket_function = nullptr;
PyObject *finalize_function = nullptr;

PyObject *made_function(Method &def, PyObject *&kept) {
  if (kept) return kept;
  // Making objects may run a collection and with it other code that gets
  // here: whatever finished first is kept.
  if (!def.code) prepare_methods(std::span(&def, 1), nullptr, nullptr, source_path(__FILE__));
  Ref fn = make_method_function(def);
  if (!kept) kept = fn.release();
  return kept;
}

// `_finalize(task, sock)`: on the loop's thread, cancels the task unless it
// has finished, and closes the socket (if any) once it has. close schedules
// it bound to the task.
Ref finalize_body(PyObject *, pyrt::BoundArgs &a) {
  PyObject *task = a[0].obj;
  PyObject *sock = a[1].obj;
  Ref done = call_method(task, "done");
  if (check(PyObject_IsTrue(done.get()))) {
    if (sock != Py_None) call_method(sock, "close");
    return Ref::borrow(Py_None);
  }
  call_method(task, "cancel");
  if (sock != Py_None) {
    Ref closer = check(PyMethod_New(made_function(close_socket_def, close_socket_function), sock));
    call_method(task, "add_done_callback", closer.get());
  }
  return Ref::borrow(Py_None);
}

const pyrt::Param kFinalizeParams[] = {{"task"}, {"sock"}};

Method finalize_def = {
    .name = "_finalize",
    .line = __LINE__,
    .sig = {.params = kFinalizeParams, .nparams = 2, .nrequired = 2},
    .body = finalize_body,
    .qualname = "close.<locals>._finalize",
    .traceback_name = "vestrel.utils.corvane.corvane.AsyncDispatcher.close._finalize",
};

PyObject *finalize_fn() {
  return made_function(finalize_def, finalize_function);
}

// Once close has asked for the task's end, its being destroyed unfinished
// (the loop never ran again) is expected, not a fault to report.
void expect_unfinished(PyObject *task) noexcept {
  if (PyObject_SetAttrString(task, "_log_destroy_pending", Py_False) < 0) PyErr_Clear();
}

bool is_closed(PyObject *loop) {
  Ref closed = call_method(loop, "is_closed");
  return check(PyObject_IsTrue(closed.get()));
}

}  // namespace

void make_close_functions() {
  finalize_fn();
  made_function(close_socket_def, close_socket_function);
}

namespace {

// ------------------------------------------------------------ setup

void setup_body(Self *self, VestrelSetupOptArgs *opt) {
  // One reader per dispatcher until close: a second task would be a second
  // consumer of the ring, and close could no longer reach the first.
  if (self->_sock != Py_None || self->_task != Py_None)
    pyrt::raise(PyExc_RuntimeError, "AsyncDispatcher.setup: this dispatcher is already set up");
  Ref socket_mod = check(PyImport_ImportModule("socket"));
  Ref asyncio = module_global("asyncio");
  Ref loop = call_method(asyncio.get(), "get_running_loop");
  // Only our reader announces that it is about to wait: one of a subclass
  // is woken by every push, as without idle wakes.
  self->_private->idle.enabled = self->_private->want_idle_wakes &&
                                 !overridden(async_dispatcher_class(), as_obj(self), "_reader");
  // Non-blocking: a producer's sendto never waits on it.
  Ref sock = open_wake_socket(socket_mod.get(), false, setup_host(opt));
  set_field(self->_sock, Ref::borrow(sock.get()));
  publish_bound_socket(sock.get(), self->_fd, self->_addr, "AsyncDispatcher.setup");
  // Looked up on the instance: a subclass's reader runs.
  Ref reader = call_method(as_obj(self), "_reader", loop.get(), sock.get());
  Ref task = call_method(loop.get(), "create_task", reader.get());
  set_field(self->_task, std::move(task));
}

// ------------------------------------------------------------ the reader

Co reader_body(const CoArgs &c) {
  Self *self = as_self(c.self);
  PyObject *loop = c.arg[0];
  PyObject *sock = c.arg[1];
  Ref sock_recv = check(PyUnicode_InternFromString("sock_recv"));
  Ref one = check(PyLong_FromLong(1));
  for (;;) {
    // Both fields are read afresh on every pass.
    Ref next = take_or_announce(*self->_private, [&] { return self->_pop_fn(self); });
    if (next.get() == Py_None) {
      // Closed before its cancellation ran (the task had not started, or a
      // callback was running): waiting on the closed socket would end the
      // task with that socket's error, reported as never retrieved. It ends
      // as close meant it to, cancelled.
      if (self->_sock != sock) {
        Ref asyncio = module_global("asyncio");
        Ref cancelled = check(PyObject_GetAttrString(asyncio.get(), "CancelledError"));
        PyErr_SetNone(cancelled.get());
        pyrt::throw_set();
      }
      Ref wake = check(pyrt::into_python([&] {
        return PyObject_CallMethodObjArgs(loop, sock_recv.get(), sock, one.get(), nullptr);
      }));
      co_await Await(std::move(wake));
      continue;
    }
    co_await callback_result(self->_callback, next.get());
  }
}

}  // namespace

// ------------------------------------------------------------ entries

void setup(Self *self, int override_flag, VestrelSetupOptArgs *opt) noexcept {
  const ClassDef &c = async_dispatcher_class();
  auto body = [&] { setup_body(self, opt); };
  if (opt && opt->count > 0)
    run_entry(c, as_obj(self), override_flag, "setup", {opt->host}, body);
  else
    run_entry(c, as_obj(self), override_flag, "setup", {}, body);
}

PyObject *take_one(Self *self) noexcept {
  return take_copy(self->_q, &VestrelSPSCQueue_VTable::try_take);
}

PyObject *take_one_var(Self *self) noexcept {
  return take_copy(self->_q, &VestrelSPSCQueue_VTable::try_take_var);
}

Ref reader(PyObject *self, pyrt::BoundArgs &a) {
  return pyrt::make_coroutine(a.function, self, {a[0].obj, a[1].obj}, reader_body);
}

Ref close(PyObject *o, pyrt::BoundArgs &) {
  Self *self = as_self(o);
  // Late pushes only store from here on.
  retract_wake_target(self->_fd);
  Ref sock = Ref::steal(std::exchange(self->_sock, Ref::borrow(Py_None).release()));
  if (self->_task != Py_None) {
    // Taken out first: if scheduling fails the task is out of reach, and the
    // socket stays for a later close.
    Ref task = Ref::steal(std::exchange(self->_task, Ref::borrow(Py_None).release()));
    expect_unfinished(task.get());
    try {
      Ref loop = call_method(task.get(), "get_loop");
      // A closed loop never runs the reader again: nothing to cancel there,
      // and the socket is nobody's but ours.
      if (!is_closed(loop.get())) {
        Ref finalize = check(PyMethod_New(finalize_fn(), task.get()));
        call_method(loop.get(), "call_soon_threadsafe", finalize.get(), sock.get());
        return Ref::borrow(Py_None);
      }
    } catch (const pyrt::PyErrSet &) {
      set_field(self->_sock, std::move(sock));
      throw;
    }
  }
  if (sock.get() != Py_None) call_method(sock.get(), "close");
  return Ref::borrow(Py_None);
}

}  // namespace vestrel::corvane::async
