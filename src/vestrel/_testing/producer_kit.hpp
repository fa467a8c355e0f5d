// What a module of native producer threads needs around its threads: a
// Python handle type that owns each run, starting a thread with the errors
// Python expects, taking the GIL back safely, and an exit hook that joins
// whatever still runs before the interpreter finalizes. Shared by
// vestrel._testing and the benchmark's native peers.
#pragma once

#include <Python.h>

#include <chrono>
#include <exception>
#include <new>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "message.hpp"
#include "ref.hpp"

namespace vestrel::testing {

// ------------------------------------------------------------ the GIL

// Takes the GIL back. A thread that does so once the interpreter finalizes
// (a daemon thread in join(), say) is ended by it with a forced unwind
// (pthread_exit), which must not meet a module's noexcept frames: it parks
// here instead, until the process is gone.
inline void restore_thread(PyThreadState *ts) noexcept {
  try {
    PyEval_RestoreThread(ts);
  } catch (...) {
    // The only exception a C call lets out, and a foreign one: there is no
    // current_exception() for it, nor a reference to bind to it.
    if (!std::current_exception())
      for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    std::terminate();
  }
}

// Joins `thread` without the GIL (the thread may need it to finish).
inline void join_released(std::thread &thread) noexcept {
  if (!thread.joinable()) return;
  PyThreadState *ts = PyEval_SaveThread();
  thread.join();
  restore_thread(ts);
}

// ------------------------------------------------------------ threads

// Starts `body` in `thread` and lists `run` in `running`, the runs the exit
// hook must join (touched only with the GIL held). False, with a Python
// error set, when either fails; then nothing is listed.
template <class T, class F>
bool start_listed(std::vector<T *> &running, std::type_identity_t<T> &run, std::thread &thread,
                  F &&body) noexcept {
  try {
    running.reserve(running.size() + 1);  // so that push_back cannot throw
    thread = std::thread(std::forward<F>(body));
  } catch (const std::bad_alloc &) {
    PyErr_NoMemory();
    return false;
  } catch (const std::exception &) {
    PyErr_SetString(PyExc_RuntimeError, "can't start new thread");
    return false;
  }
  running.push_back(&run);
  return true;
}

// Registers `hook` (a METH_NOARGS function that joins every listed run)
// with atexit, which runs it before the interpreter finalizes, and with
// threading._register_atexit, which runs it earlier, before threading joins
// non-daemon threads, so that a reader draining a ring is not fed forever.
inline bool register_exit_hook(PyMethodDef &hook) noexcept {
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  Ref threading = Ref::steal(PyImport_ImportModule("threading"));
  Ref fn = Ref::steal(PyCFunction_New(&hook, nullptr));
  if (!atexit || !threading || !fn) return false;
  Ref r = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", fn.get()));
  if (!r) return false;
  r = Ref::steal(PyObject_CallMethod(threading.get(), "_register_atexit", "O", fn.get()));
  if (!r) PyErr_Clear();  // threading is already shutting down: atexit still runs it
  return true;
}

// ------------------------------------------------------------ handle types

// The Python object that owns one native run.
template <class R>
struct Handle {
  PyObject_HEAD R *run;

  static R &of(PyObject *o) noexcept { return *reinterpret_cast<Handle *>(o)->run; }
};

// Dropping the handle ends the run's thread with `Stop(run)`, then frees
// the run.
template <class R, auto Stop>
void handle_dealloc(PyObject *self) noexcept {
  if (R *run = reinterpret_cast<Handle<R> *>(self)->run) {
    Stop(*run);
    delete run;
  }
  Py_TYPE(self)->tp_free(self);
}

// A static type whose instances are Handle<R>; without `make`, only the
// module's own functions create them.
template <class R, auto Stop>
PyTypeObject handle_type(const char *name, const char *doc, PyMethodDef *methods,
                         PyGetSetDef *getset, newfunc make = nullptr) noexcept {
  PyTypeObject t{};
  Py_SET_REFCNT(&t, 1);
  t.tp_name = name;
  t.tp_basicsize = sizeof(Handle<R>);
  t.tp_dealloc = handle_dealloc<R, Stop>;
  t.tp_flags = Py_TPFLAGS_DEFAULT;
  t.tp_doc = doc;
  t.tp_methods = methods;
  t.tp_getset = getset;
  t.tp_new = make;
  return t;
}

// Readies `type` and adds it to `mod` as `name`.
inline bool add_type(PyObject *mod, const char *name, PyTypeObject &type) noexcept {
  if (PyType_Ready(&type) < 0) return false;
  Ref ref = Ref::borrow(reinterpret_cast<PyObject *>(&type));
  if (PyModule_AddObject(mod, name, ref.get()) < 0) return false;
  ref.release();  // the module has it now
  return true;
}

// ------------------------------------------------------------ module functions

// now_ns() -> int: the clock the messages carry (METH_NOARGS).
inline PyObject *now_ns(PyObject *, PyObject *) noexcept {
  return PyLong_FromUnsignedLongLong(now());
}

}  // namespace vestrel::testing
