// The driver of our coroutines: the one send routine every way of driving
// them goes through, close, and the bodies' frames.
#include "coroutine.hpp"

#include <cstddef>
#include <new>

#include "coroutine_object.hpp"
#include "delegate.hpp"
#include "free_list.hpp"
#include "traceback.hpp"

namespace vestrel::pyrt {

// Frames are destroyed with the GIL held, before the arguments they borrow.
void destroy_frame(Coroutine *co) noexcept {
  if (!co->frame) return;
  auto frame = std::exchange(co->frame, {});
  co->current = {};
  co->waiting = nullptr;
  Py_CLEAR(co->yielded);
  frame.destroy();
}

void clear_delegate(Coroutine *co) noexcept {
  Py_CLEAR(co->delegate);
}

namespace {

// A StopIteration leaving the body would end whoever drives it silently: it
// becomes RuntimeError, as for native coroutines.
void replace_stop_iteration() noexcept {
  if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  if (tb) PyException_SetTraceback(v, tb);
  Py_XDECREF(t);
  Py_XDECREF(tb);
  PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
  PyObject *t2, *v2, *tb2;
  PyErr_Fetch(&t2, &v2, &tb2);
  PyErr_NormalizeException(&t2, &v2, &tb2);
  Py_INCREF(v);
  PyException_SetCause(v2, v);
  PyException_SetContext(v2, v);
  PyErr_Restore(t2, v2, tb2);
}

// Runs the body until it suspends or ends. The body was resumed from an
// await (or for the first time); what it did is in the promise.
SendResult after_resume(Coroutine *co, Ref &out) noexcept {
  CoPromise &p = co->frame.promise();
  if (!co->frame.done()) {
    co->state = CoState::suspended;
    out = Ref::steal(std::exchange(co->yielded, nullptr));
    return SendResult::next;
  }
  co->state = CoState::finished;
  const bool failed = p.failed;
  Ref result = std::move(p.result);
  destroy_frame(co);
  clear_delegate(co);
  if (failed) {
    replace_stop_iteration();
    add_traceback(co->traceback_name, co->file, co->line);
    return SendResult::error;
  }
  out = result ? std::move(result) : Ref::borrow(Py_None);
  return SendResult::ret;
}

}  // namespace

// The one routine every way of driving the coroutine goes through. With
// `thrown`, the error indicator holds the exception to throw in.
SendResult coroutine_send(PyObject *self, PyObject *arg, bool thrown, Ref &out) noexcept {
  Coroutine *co = as_co(self);
  switch (co->state) {
    case CoState::running:
      PyErr_SetString(PyExc_ValueError, "coroutine already executing");
      return SendResult::error;
    case CoState::finished:
      PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
      return SendResult::error;
    case CoState::created:
      if (thrown) {
        // Thrown into a coroutine that never ran: it raises at once and the
        // body never runs.
        co->state = CoState::finished;
        destroy_frame(co);
        return SendResult::error;
      }
      if (arg && arg != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        return SendResult::error;
      }
      co->state = CoState::running;
      co->frame.resume();
      return after_resume(co, out);
    case CoState::suspended:
      break;
  }
  co->state = CoState::running;
  Ref value;
  const SendResult r = thrown ? delegate_throw(co->delegate, value)
                              : delegate_send(co->delegate, arg ? arg : Py_None, value);
  if (r == SendResult::next) {
    co->state = CoState::suspended;
    out = std::move(value);
    return r;
  }
  clear_delegate(co);
  Await *w = std::exchange(co->waiting, nullptr);
  if (r == SendResult::ret)
    w->finish(std::move(value));
  else
    w->fail();
  std::exchange(co->current, {}).resume();
  return after_resume(co, out);
}

// close(): GeneratorExit at the suspension point; the body must not yield.
int coroutine_close(PyObject *self) noexcept {
  Coroutine *co = as_co(self);
  if (co->state == CoState::running) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return -1;
  }
  if (co->state != CoState::suspended) {
    co->state = CoState::finished;
    destroy_frame(co);
    return 0;
  }
  PyErr_SetNone(PyExc_GeneratorExit);
  Ref out;
  const SendResult r = coroutine_send(self, nullptr, true, out);
  if (r == SendResult::next) {
    PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
    return -1;
  }
  if (r == SendResult::error) {
    if (!PyErr_ExceptionMatches(PyExc_GeneratorExit) &&
        !PyErr_ExceptionMatches(PyExc_StopIteration))
      return -1;
    PyErr_Clear();
  }
  return 0;
}

namespace {

// Frames of one body all have one size, and a queue's pushes and pops make
// and drop them at a high rate.
struct SpareFrame {
  void *block;
  std::size_t size;
};
FreeList<SpareFrame, 16> spare_frames;

}  // namespace

void *CoPromise::operator new(std::size_t n) {
  SpareFrame spare;
  if (spare_frames.take(spare, [n](const SpareFrame &f) { return f.size == n; }))
    return spare.block;
  void *p = PyMem_Malloc(n);
  if (!p) throw std::bad_alloc();
  return p;
}

void CoPromise::operator delete(void *p, std::size_t n) noexcept {
  if (!spare_frames.put({p, n})) PyMem_Free(p);
}

}  // namespace vestrel::pyrt
