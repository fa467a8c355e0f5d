#include "exit_hooks.hpp"

#include <Python.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "pyrt/call.hpp"
#include "pyrt/error.hpp"
#include "pyrt/gil.hpp"
#include "pyrt/ref.hpp"
#include "reader_threads.hpp"
#include "sync_dispatcher_entries.hpp"

namespace vestrel::corvane::at_exit {

std::atomic<bool> exiting{false};

namespace {

using pyrt::Ref;
using Clock = std::chrono::steady_clock;

// Running SyncDispatcher readers. Changed with the GIL held; the mutex lets
// the exit hook wait for the list to empty without the GIL.
std::mutex mutex;
std::condition_variable reader_ended;
std::vector<VestrelSyncDispatcher *> sync_readers;

void close_sync_readers() noexcept {
  std::vector<VestrelSyncDispatcher *> now;
  {
    std::lock_guard lock(mutex);
    now = sync_readers;
  }
  // A running reader keeps its dispatcher alive, so each pointer is valid
  // here (GIL held). Our own close, whatever a subclass made of close().
  for (VestrelSyncDispatcher *d : now) sync::stop_reader(d);
}

// Before threading joins non-daemon threads.
PyObject *before_thread_joins(PyObject *, PyObject *) noexcept {
  close_sync_readers();
  Py_RETURN_NONE;
}

// Before finalization.
PyObject *before_finalization(PyObject *, PyObject *) noexcept {
  exiting.store(true, std::memory_order_seq_cst);
  close_sync_readers();
  threaded::stop_all_for_exit();
  const auto deadline = Clock::now() + kExitWait;
  pyrt::GilReleased released;
  {
    std::unique_lock lock(mutex);
    reader_ended.wait_until(lock, deadline, [] { return sync_readers.empty(); });
  }
  threaded::wait_all_for_exit(deadline);
  Py_RETURN_NONE;
}

PyMethodDef thread_hook_def = {"_close_sync_readers", before_thread_joins, METH_NOARGS,
                               "Closes running SyncDispatcher readers before threads are joined."};
PyMethodDef exit_hook_def = {"_stop_readers", before_finalization, METH_NOARGS,
                             "Stops every reader before the interpreter finalizes."};

void register_with(const char *module, const char *function, PyMethodDef *def) {
  Ref mod = pyrt::check(PyImport_ImportModule(module));
  Ref hook = pyrt::check(PyCFunction_New(def, nullptr));
  pyrt::call_method(mod.get(), function, hook.get());
}

}  // namespace

void install() {
  static bool installed = false;  // GIL
  if (installed) return;
  register_with("atexit", "register", &exit_hook_def);
  // threading's hook list exists on every version we support; without it
  // (or once threading has begun to shut down) a non-daemon reader is left
  // to its own close.
  try {
    register_with("threading", "_register_atexit", &thread_hook_def);
  } catch (const pyrt::PyErrSet &) {
    PyErr_Clear();
  }
  installed = true;
}

bool sync_reader_started(VestrelSyncDispatcher *self) {
  if (exiting.load(std::memory_order_relaxed)) return false;
  std::lock_guard lock(mutex);
  sync_readers.push_back(self);
  return true;
}

void sync_reader_ended(VestrelSyncDispatcher *self) noexcept {
  std::lock_guard lock(mutex);
  auto it = std::find(sync_readers.begin(), sync_readers.end(), self);
  if (it != sync_readers.end()) sync_readers.erase(it);
  reader_ended.notify_all();
}

}  // namespace vestrel::corvane::at_exit
