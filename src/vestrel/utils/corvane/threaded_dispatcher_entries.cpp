// ThreadedDispatcher's entries. One message, from push to callback:
//
//  1. A native producer calls `push` (or `push_var`, or `_push_fn`): put on
//     the ring, whose result it gets back. No datagram: the ring wakes its
//     own sleeping consumer.
//  2. The reader, a native thread that setup started and detached, is the
//     `reader` entry below. Blocked in the ring's take without the GIL, it
//     wakes with the message still in the ring.
//  3. It takes the GIL (its own thread state, kept for life), copies the
//     message into bytes, calls callback(msg), gives the GIL back and only
//     then releases the slot; then it takes again.
//
// The reader owns what it uses (reader_threads.hpp): the dispatcher may be
// destroyed while it waits, and then it stops delivering. close stops the
// ring: the reader delivers what the ring still holds and ends.
#include "threaded_dispatcher_entries.hpp"

#include <utility>

#include "class_support.hpp"
#include "dispatcher_private.hpp"
#include "pyrt/error.hpp"
#include "pyrt/exit_unwind.hpp"
#include "pyrt/traceback.hpp"
#include "reader_steps.hpp"
#include "reader_threads.hpp"
#include "threaded_dispatcher.hpp"
#include "vestrel/spsc_queue.h"

namespace vestrel::corvane::threaded {

namespace {

using pyrt::Ref;

VestrelSPSCQueue *ring_of(Self *self) noexcept {
  return reinterpret_cast<VestrelSPSCQueue *>(self->_q);
}

PyObject *as_obj(Self *self) {
  return reinterpret_cast<PyObject *>(self);
}

// Prints the callback's error with its traceback, then hands it to the
// unraisable hook (GIL held, error set).
void report(const char *context, int line) noexcept {
  pyrt::add_traceback(context, source_path(__FILE__), line);
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb && value) PyException_SetTraceback(value, tb);
  // PyErr_Display, not PyErr_Print: a SystemExit must not end the process
  // from a reader thread.
  if (type) pyrt::into_python([&] { PyErr_Display(type, value, tb); });
  PyErr_Restore(type, value, tb);
  pyrt::write_unraisable(context);
}

// What the callback gets for the message taken (GIL held): its bytes, or
// with batches a list of them and of what more the ring holds now, up to
// the batch (take_for_callback). Each take of the ring frees the message the
// one before took.
Ref next_for_callback(Private &p, VestrelSPSCQueue *q, bool variable, const char *data,
                      std::size_t length) {
  bool taken = true;  // the message the reader's wait took
  return take_for_callback(p, [&]() -> PyObject * {
    if (!std::exchange(taken, false)) {
      const int rc = variable ? q->vtab->try_take_var(q, &data, &length)
                              : q->vtab->try_take(q, &data, &length);
      if (rc != VESTREL_RING_TAKEN) {
        Py_INCREF(Py_None);
        return Py_None;
      }
    }
    return PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(length));
  });
}

// The message taken, to the current callback (GIL held). False ends the
// reader.
bool deliver(ReaderThread &r, bool variable, const char *data, std::size_t length,
             const char *context) noexcept {
  Self *owner = owner_of(r);
  if (!owner) return false;  // the dispatcher is gone: nobody to deliver to
  int line = __LINE__;
  try {
    Ref next = next_for_callback(*owner->_private, ring_of(r), variable, data, length);
    line = __LINE__;
    call_callback(owner->_callback, next.get());
    return true;
  } catch (...) {
    pyrt::set_error_from_current_exception();
  }
  report(context, line);
  return false;
}

// The reader loop. The take waits in the ring; the message is copied with
// the GIL held, however long taking it lasted, and its slot released after.
void reader_loop(bool variable, const char *context) noexcept {
  ReaderThread *r = current_reader();
  if (!r) return;
  VestrelSPSCQueue *q = ring_of(*r);
  const char *data = nullptr;
  std::size_t length = 0;
  for (;;) {
    const int rc =
        variable ? q->vtab->take_var(q, &data, &length) : q->vtab->take(q, &data, &length);
    if (rc != VESTREL_RING_TAKEN) return;
    if (!enter_python(*r)) return;
    const bool go_on = deliver(*r, variable, data, length, context);
    leave_python(*r);
    // A failed message stays held: it was not delivered.
    if (!go_on) return;
    if (!variable) q->vtab->release(q);
  }
}

}  // namespace

// The producer path: one ring call, nothing else. A cleared dispatcher (no
// queue) refuses as a stopped ring would.
int push(Self *self, const char *data, std::size_t length) noexcept {
  if (self->_q == Py_None) return VESTREL_RING_STOPPED;
  return ring_of(self)->vtab->put(ring_of(self), data, length);
}

int push_var(Self *self, const char *data, std::size_t length) noexcept {
  if (self->_q == Py_None) return VESTREL_RING_STOPPED;
  return ring_of(self)->vtab->put_var(ring_of(self), data, length);
}

int try_push(Self *self, const char *data, std::size_t length) noexcept {
  if (self->_q == Py_None) return VESTREL_RING_STOPPED;
  return ring_of(self)->vtab->try_put(ring_of(self), data, length);
}

int try_push_var(Self *self, const char *data, std::size_t length) noexcept {
  if (self->_q == Py_None) return VESTREL_RING_STOPPED;
  return ring_of(self)->vtab->try_put_var(ring_of(self), data, length);
}

void reader(Self *) noexcept {
  reader_loop(false, "vestrel.utils.corvane.corvane.ThreadedDispatcher._reader");
}

void reader_var(Self *) noexcept {
  reader_loop(true, "vestrel.utils.corvane.corvane.ThreadedDispatcher._reader_var");
}

void setup(Self *self, int override_flag) noexcept {
  run_entry(threaded_dispatcher_class(), as_obj(self), override_flag, "setup", {}, [&] {
    // Through the table, so that a native subclass's reader is honoured.
    start_reader(self, self->_variable_size ? self->vtab->_reader_var : self->vtab->_reader);
  });
}

// Stops the ring; the reader drains what it holds and ends on its own. No
// wait: close may run on the reader thread itself, inside the callback.
void close(Self *self, int override_flag) noexcept {
  run_entry(threaded_dispatcher_class(), as_obj(self), override_flag, "close", {}, [&] {
    if (self->_q != Py_None) ring_of(self)->vtab->stop(ring_of(self));
  });
}

}  // namespace vestrel::corvane::threaded
