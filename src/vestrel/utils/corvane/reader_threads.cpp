// The native reader threads of ThreadedDispatcher.
//
// A reader is detached and holds no reference on its dispatcher (so that
// dropping the dispatcher closes it), yet it blocks inside the ring and may
// be delivering when the dispatcher is destroyed. So each reader owns a
// record that outlives the dispatcher: a reference to the queue object (the
// ring memory stays valid until the reader is done) and a link to the
// dispatcher, read and cleared only under the GIL, through which the reader
// finds the current callback while the dispatcher lives and learns that it
// is gone.
//
// A native thread that takes the GIL once the interpreter finalizes is ended
// by it. The exit hooks (exit_hooks.hpp) therefore stop every reader's ring,
// forbid readers to enter Python again and wait, for a bounded time, until
// none is inside; one still inside a callback after that is parked when it
// takes the GIL back.
#include "reader_threads.hpp"

#include <Python.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "exit_hooks.hpp"
#include "platform/native_thread.hpp"
#include "pyrt/call.hpp"
#include "pyrt/error.hpp"
#include "pyrt/exit_unwind.hpp"
#include "pyrt/ref.hpp"
#include "vestrel/spsc_queue.h"

namespace vestrel::corvane::threaded {

using pyrt::Ref;
using Self = VestrelThreadedDispatcher;

struct ReaderThread {
  PyObject *queue;         // owned; dropped by the reader's last GIL section
  VestrelSPSCQueue *ring;  // the same object
  Self *owner;             // null once the dispatcher is gone (GIL + mutex to write)
  Self *entry_arg;         // what the entry receives; never dereferenced here
  VestrelThreadedDispatcher_ReaderFn entry;
  PyThreadState *tstate = nullptr;  // the reader's one thread state, kept for life
  PyGILState_STATE gil{};
  std::atomic<bool> in_python{false};  // see enter_python
};

namespace {

using Reader = ReaderThread;

// Live readers. The mutex guards the list and `owner`; it is
// never held while taking the GIL.
std::mutex mutex;
std::condition_variable left_python;
std::vector<Reader *> readers;
std::atomic<bool> &exiting = at_exit::exiting;

thread_local Reader *current = nullptr;

void erase(Reader *r) noexcept {
  std::lock_guard lock(mutex);
  readers.erase(std::find(readers.begin(), readers.end(), r));
}

// Wakes the exit hook if it waits for this reader.
void clear_in_python(Reader &r) noexcept {
  r.in_python.store(false, std::memory_order_seq_cst);
  if (exiting.load(std::memory_order_seq_cst)) {
    std::lock_guard lock(mutex);
    left_python.notify_all();
  }
}

// Takes the GIL for the reader, unless the interpreter is about to finalize.
// No lock per message: `in_python` and `exiting` form a Dekker pair with the
// exit hook (all seq_cst), so either the hook sees the reader inside and
// waits for it, or the reader sees the hook and stays out.
bool enter(Reader &r) noexcept {
  r.in_python.store(true, std::memory_order_seq_cst);
  if (exiting.load(std::memory_order_seq_cst)) {
    clear_in_python(r);
    return false;
  }
  if (r.tstate) {
    pyrt::restore_thread(r.tstate);
  } else {
    // Creates the thread state once; later messages only swap it in.
    r.gil = pyrt::into_python([] { return PyGILState_Ensure(); });
    r.tstate = PyThreadState_Get();
  }
  return true;
}

// The last GIL section: unlink, drop the queue and the thread state.
void finish(Reader *r) noexcept {
  if (enter(*r)) {
    {
      std::lock_guard lock(mutex);
      r->owner = nullptr;
    }
    Ref::steal(r->queue).reset();
    PyGILState_Release(r->gil);  // deletes the thread state and releases the GIL
    clear_in_python(*r);
  }
  // When exiting, the queue reference and the thread state are left to the
  // end of the process: touching them now could race with finalization.
  erase(r);
  left_python.notify_all();
  delete r;
}

void thread_body(void *arg) noexcept {
  Reader *r = static_cast<Reader *>(arg);
  current = r;
  r->entry(r->entry_arg);
  current = nullptr;
  finish(r);
}

}  // namespace

void start_reader(Self *self, VestrelThreadedDispatcher_ReaderFn entry) {
  if (self->_q == Py_None) pyrt::raise(PyExc_RuntimeError, "ThreadedDispatcher has no queue");
  auto r = std::make_unique<Reader>();
  r->ring = reinterpret_cast<VestrelSPSCQueue *>(self->_q);
  r->owner = self;
  r->entry_arg = self;
  r->entry = entry;
  {
    std::lock_guard lock(mutex);
    if (exiting.load())
      pyrt::raise(PyExc_RuntimeError, "ThreadedDispatcher.setup: the interpreter is exiting");
    // One consumer per ring: a second reader would race the first.
    for (Reader *o : readers)
      if (o->owner == self)
        pyrt::raise(PyExc_RuntimeError,
                    "ThreadedDispatcher.setup: a reader is already running; close() and let it end "
                    "first");
    readers.push_back(r.get());
  }
  r->queue = Ref::borrow(self->_q).release();
  platform::NativeThread thread;
  if (platform::start_thread(thread_body, r.get(), thread) != 0) {
    Ref::steal(r->queue).reset();
    erase(r.get());
    pyrt::raise(PyExc_RuntimeError, "can't start new thread");
  }
  r.release();                                 // the thread owns it now
  self->_thread = {thread.handle, thread.id};  // held only until detached
  platform::detach_thread(thread);
  self->_thread = {0, 0};
}

ReaderThread *current_reader() noexcept {
  return current;
}

VestrelSPSCQueue *ring_of(ReaderThread &r) noexcept {
  return r.ring;
}

bool enter_python(ReaderThread &r) noexcept {
  return enter(r);
}

void leave_python(ReaderThread &r) noexcept {
  PyEval_SaveThread();
  clear_in_python(r);
}

Self *owner_of(ReaderThread &r) noexcept {
  return r.owner;
}

void stop_all_for_exit() noexcept {
  std::lock_guard lock(mutex);
  for (Reader *r : readers) r->ring->vtab->stop(r->ring);
}

void wait_all_for_exit(std::chrono::steady_clock::time_point deadline) noexcept {
  std::unique_lock lock(mutex);
  left_python.wait_until(lock, deadline, [] {
    return std::none_of(readers.begin(), readers.end(),
                        [](Reader *r) { return r->in_python.load(); });
  });
}

void forget_dispatcher(Self *self) noexcept {
  std::lock_guard lock(mutex);
  for (Reader *r : readers)
    if (r->owner == self) r->owner = nullptr;
}

}  // namespace vestrel::corvane::threaded
