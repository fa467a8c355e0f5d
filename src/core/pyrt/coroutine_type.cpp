// The Python side of our coroutines: the `vestrel.coroutine` type (send,
// throw, close, __await__, am_send, the cr_* attributes, finalization) and
// its __await__ iterator, and the making of coroutine objects.
#include <Python.h>

#include <cstddef>
#include <new>
#include <stdexcept>
#include <utility>

#include "coroutine.hpp"
#include "coroutine_object.hpp"
#include "delegate.hpp"
#include "free_list.hpp"
#include "function.hpp"
#include "traceback.hpp"

namespace vestrel::pyrt {

namespace {

struct Wrapper {
  PyObject_HEAD PyObject *coroutine;
};

PyTypeObject coroutine_type{};
PyTypeObject wrapper_type{};

// A pop or push makes one coroutine and drops it moments later.
FreeList<Coroutine *, 16> spare_coroutines;

PyObject *finish_send(SendResult r, Ref &out) noexcept {
  if (r == SendResult::next) return out.release();
  if (r == SendResult::ret) {
    if (out.get() == Py_None) {
      PyErr_SetNone(PyExc_StopIteration);
    } else if (!PyTuple_Check(out.get()) && !PyExceptionInstance_Check(out.get())) {
      // Taken as the value itself; a tuple would be unpacked into arguments.
      PyErr_SetObject(PyExc_StopIteration, out.get());
    } else {
      PyObject *stop = PyObject_CallOneArg(PyExc_StopIteration, out.get());
      if (stop) {
        PyErr_SetObject(PyExc_StopIteration, stop);
        Py_DECREF(stop);
      }
    }
  }
  return nullptr;
}

PyObject *co_send(PyObject *self, PyObject *arg) noexcept {
  Ref out;
  return finish_send(coroutine_send(self, arg, false, out), out);
}

// throw(value), or the old throw(type[, value[, traceback]]).
PyObject *co_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) noexcept {
  if (nargs < 1 || nargs > 3) {
    PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
    if (nargs > 3)
      PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
    return nullptr;
  }
#if PY_VERSION_HEX >= 0x030C0000
  if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                "the (type, exc, tb) signature of throw() is deprecated, "
                                "use the single-arg signature instead.",
                                1) < 0)
    return nullptr;
#endif
  if (!raise_thrown(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr))
    return nullptr;
  Ref out;
  return finish_send(coroutine_send(self, nullptr, true, out), out);
}

PyObject *co_close(PyObject *self, PyObject *) noexcept {
  if (coroutine_close(self) < 0) return nullptr;
  Py_RETURN_NONE;
}

// Every `await` of a coroutine makes one of these and drops it soon after.
FreeList<Wrapper *, 8> spare_wrappers;

PyObject *co_await_slot(PyObject *self) noexcept {
  Wrapper *w;
  if (spare_wrappers.take(w)) {
    PyObject_Init(reinterpret_cast<PyObject *>(w), &wrapper_type);
  } else {
    w = PyObject_GC_New(Wrapper, &wrapper_type);
    if (!w) return nullptr;
  }
  w->coroutine = Ref::borrow(self).release();
  PyObject_GC_Track(w);
  return reinterpret_cast<PyObject *>(w);
}

#if PY_VERSION_HEX >= 0x030A0000
PySendResult co_am_send(PyObject *self, PyObject *arg, PyObject **result) noexcept {
  Ref out;
  const SendResult r = coroutine_send(self, arg, false, out);
  *result = out.release();
  return r == SendResult::next ? PYGEN_NEXT : r == SendResult::ret ? PYGEN_RETURN : PYGEN_ERROR;
}
#endif

void co_finalize(PyObject *self) noexcept {
  Coroutine *co = as_co(self);
  if (co->state == CoState::finished) return;  // the common case: nothing to do
  SavedError saved;
  if (co->state == CoState::created && co->frame) {
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%.50S' was never awaited",
                         co->qualname) < 0)
      PyErr_WriteUnraisable(self);
    co->state = CoState::finished;
    destroy_frame(co);
    return;
  }
  if (co->state == CoState::suspended && coroutine_close(self) < 0) PyErr_WriteUnraisable(self);
}

int co_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
  Coroutine *co = as_co(self);
  Py_VISIT(co->name);
  Py_VISIT(co->qualname);
  Py_VISIT(co->code);
  Py_VISIT(co->args.self);
  for (PyObject *a : co->args.arg) Py_VISIT(a);
  Py_VISIT(co->delegate);
  return 0;
}

int co_clear(PyObject *self) noexcept {
  Coroutine *co = as_co(self);
  if (co->state == CoState::running) return 0;  // never pull the frame out from under itself
  co->state = CoState::finished;
  destroy_frame(co);
  clear_delegate(co);
  Py_CLEAR(co->args.self);
  for (PyObject *&a : co->args.arg) Py_CLEAR(a);
  Py_CLEAR(co->code);
  return 0;
}

void co_dealloc(PyObject *self) noexcept {
  // A finished coroutine has nothing to finalize.
  if (as_co(self)->state != CoState::finished && PyObject_CallFinalizerFromDealloc(self) < 0)
    return;  // resurrected
  PyObject_GC_UnTrack(self);
  Coroutine *co = as_co(self);
  destroy_frame(co);
  clear_delegate(co);
  Py_CLEAR(co->args.self);
  for (PyObject *&a : co->args.arg) Py_CLEAR(a);
  Py_CLEAR(co->code);
  Py_CLEAR(co->name);
  Py_CLEAR(co->qualname);
  // Kept for reuse unless its finalizer ran: the collector would not run it
  // again on the object's next life.
  if (PyObject_GC_IsFinalized(self) || !spare_coroutines.put(co)) PyObject_GC_Del(self);
}

PyObject *co_repr(PyObject *self) noexcept {
  return PyUnicode_FromFormat("<coroutine object %S at %p>", as_co(self)->qualname, self);
}

PyObject *get_name(PyObject *self, void *) noexcept {
  return Ref::borrow(as_co(self)->name).release();
}
PyObject *get_qualname(PyObject *self, void *) noexcept {
  return Ref::borrow(as_co(self)->qualname).release();
}

int set_str(PyObject *&field, PyObject *value, const char *what) noexcept {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  Py_INCREF(value);
  Py_SETREF(field, value);
  return 0;
}
int set_name(PyObject *self, PyObject *value, void *) noexcept {
  return set_str(as_co(self)->name, value, "__name__");
}
int set_qualname(PyObject *self, PyObject *value, void *) noexcept {
  return set_str(as_co(self)->qualname, value, "__qualname__");
}
PyObject *get_await(PyObject *self, void *) noexcept {
  PyObject *d = as_co(self)->delegate;
  return Ref::borrow(d ? d : Py_None).release();
}
PyObject *get_code(PyObject *self, void *) noexcept {
  PyObject *c = as_co(self)->code;
  return Ref::borrow(c ? c : Py_None).release();
}
PyObject *get_none(PyObject *, void *) noexcept {
  Py_RETURN_NONE;
}
PyObject *get_running(PyObject *self, void *) noexcept {
  return PyBool_FromLong(as_co(self)->state == CoState::running);
}
PyObject *get_suspended(PyObject *self, void *) noexcept {
  return PyBool_FromLong(as_co(self)->state == CoState::suspended);
}

PyGetSetDef co_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_code", get_code, nullptr, nullptr, nullptr},
    // There is no Python frame: the body is native.
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject *refuse_reduce(PyObject *self, PyObject *) noexcept {
  PyErr_Format(PyExc_TypeError, "cannot pickle '%.100s' object", Py_TYPE(self)->tp_name);
  return nullptr;
}

PyMethodDef co_methods[] = {
    {"send", co_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(co_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next "
     "iterated value or raise StopIteration."},
    {"close", co_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {"__reduce__", refuse_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods co_async = {
    co_await_slot,
    nullptr,
    nullptr,
#if PY_VERSION_HEX >= 0x030A0000
    co_am_send,
#endif
};

// ------------------------------------------------------------ __await__ iterator

Wrapper *as_wrapper(PyObject *o) {
  return reinterpret_cast<Wrapper *>(o);
}

#if PY_VERSION_HEX >= 0x030C0000
// From 3.12 an `await` in Python code drives us through tp_iternext, and a
// value comes back only inside a StopIteration instance, which the await
// takes apart at once. One spare instance is reused whenever nobody else
// holds it (then nothing can observe the reuse): it saves building and
// freeing an exception for every value an await returns.
PyObject *spare_stop = nullptr;

void raise_stop_with(PyObject *value) noexcept {
  auto *e = reinterpret_cast<PyStopIterationObject *>(spare_stop);
  if (!e || Py_REFCNT(spare_stop) != 1) {
    PyObject *made = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (!made) return;
    // Raised before the old spare goes: its release may run a finalizer
    // that comes back here, and must find `made` held by the raise.
    PyErr_SetRaisedException(Ref::borrow(made).release());
    Py_XSETREF(spare_stop, made);
    return;
  }
  // What the instance let go of is released only once it is raised again
  // (held twice from then on), for the same reason.
  PyObject *old[8];
  int n = 0;
  PyObject *args = e->args;
  if (args && PyTuple_CheckExact(args) && PyTuple_GET_SIZE(args) == 1 && Py_REFCNT(args) == 1) {
    // Nobody else sees the tuple either: its item is replaced in place.
    old[n++] = PyTuple_GET_ITEM(args, 0);
    PyTuple_SET_ITEM(args, 0, Py_NewRef(value));
    // The collector untracks a tuple whose items cannot form cycles.
    if (!PyObject_GC_IsTracked(args)) PyObject_GC_Track(args);
  } else {
    PyObject *fresh = PyTuple_Pack(1, value);
    if (!fresh) return;
    old[n++] = std::exchange(e->args, fresh);
  }
  old[n++] = std::exchange(e->value, Py_NewRef(value));
  old[n++] = std::exchange(e->dict, nullptr);
  old[n++] = std::exchange(e->notes, nullptr);
  old[n++] = std::exchange(e->traceback, nullptr);
  old[n++] = std::exchange(e->context, nullptr);
  old[n++] = std::exchange(e->cause, nullptr);
  e->suppress_context = 0;
  PyErr_SetRaisedException(Ref::borrow(spare_stop).release());
  for (int i = 0; i < n; ++i) Py_XDECREF(old[i]);
}
#endif

PyObject *wrapper_iternext(PyObject *self) noexcept {
  Ref out;
  const SendResult r = coroutine_send(as_wrapper(self)->coroutine, Py_None, false, out);
  // An iterator may end without an exception: the await reads that as None.
  if (r == SendResult::ret && out.get() == Py_None) return nullptr;
#if PY_VERSION_HEX >= 0x030C0000
  if (r == SendResult::ret) {
    raise_stop_with(out.get());
    return nullptr;
  }
#endif
  return finish_send(r, out);
}
PyObject *wrapper_send(PyObject *self, PyObject *arg) noexcept {
  return co_send(as_wrapper(self)->coroutine, arg);
}
PyObject *wrapper_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) noexcept {
  return co_throw(as_wrapper(self)->coroutine, args, nargs);
}
PyObject *wrapper_close(PyObject *self, PyObject *) noexcept {
  return co_close(as_wrapper(self)->coroutine, nullptr);
}
#if PY_VERSION_HEX >= 0x030A0000
PySendResult wrapper_am_send(PyObject *self, PyObject *arg, PyObject **result) noexcept {
  return co_am_send(as_wrapper(self)->coroutine, arg, result);
}
#endif
int wrapper_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
  Py_VISIT(as_wrapper(self)->coroutine);
  return 0;
}
int wrapper_clear(PyObject *self) noexcept {
  Py_CLEAR(as_wrapper(self)->coroutine);
  return 0;
}
void wrapper_dealloc(PyObject *self) noexcept {
  PyObject_GC_UnTrack(self);
  Py_CLEAR(as_wrapper(self)->coroutine);
  if (!spare_wrappers.put(as_wrapper(self))) PyObject_GC_Del(self);
}

PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wrapper_throw)),
     METH_FASTCALL, nullptr},
    {"close", wrapper_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#if PY_VERSION_HEX >= 0x030A0000
PyAsyncMethods wrapper_async = {nullptr, nullptr, nullptr, wrapper_am_send};
#endif

}  // namespace

bool is_coroutine(PyObject *o) noexcept {
  return Py_TYPE(o) == &coroutine_type;
}

void ready_coroutine_type() {
  if (!(coroutine_type.tp_flags & Py_TPFLAGS_READY)) {
    Py_SET_REFCNT(&coroutine_type, 1);
    Py_SET_TYPE(&coroutine_type, &PyType_Type);
    coroutine_type.tp_name = "vestrel.coroutine";
    coroutine_type.tp_basicsize = sizeof(Coroutine);
    coroutine_type.tp_dealloc = co_dealloc;
    coroutine_type.tp_as_async = &co_async;
    coroutine_type.tp_repr = co_repr;
    coroutine_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
#if PY_VERSION_HEX < 0x030800B1
    coroutine_type.tp_flags |= Py_TPFLAGS_HAVE_FINALIZE;
#endif
    coroutine_type.tp_traverse = co_traverse;
    coroutine_type.tp_clear = co_clear;
    coroutine_type.tp_methods = co_methods;
    coroutine_type.tp_getset = co_getset;
    coroutine_type.tp_finalize = co_finalize;
    if (PyType_Ready(&coroutine_type) < 0) throw_set();

    Py_SET_REFCNT(&wrapper_type, 1);
    Py_SET_TYPE(&wrapper_type, &PyType_Type);
    wrapper_type.tp_name = "vestrel.coroutine_wrapper";
    wrapper_type.tp_basicsize = sizeof(Wrapper);
    wrapper_type.tp_dealloc = wrapper_dealloc;
#if PY_VERSION_HEX >= 0x030A0000
    wrapper_type.tp_as_async = &wrapper_async;
#endif
    wrapper_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    wrapper_type.tp_traverse = wrapper_traverse;
    wrapper_type.tp_clear = wrapper_clear;
    wrapper_type.tp_iter = PyObject_SelfIter;
    wrapper_type.tp_iternext = wrapper_iternext;
    wrapper_type.tp_methods = wrapper_methods;
    if (PyType_Ready(&wrapper_type) < 0) throw_set();
  }
  // asyncio takes anything registered as a Coroutine for a coroutine.
  Ref abc = check(PyImport_ImportModule("collections.abc"));
  Ref coroutine_abc = check(PyObject_GetAttrString(abc.get(), "Coroutine"));
  check(PyObject_CallMethod(coroutine_abc.get(), "register", "O", &coroutine_type));
}

Ref make_coroutine(PyObject *function, PyObject *self, std::initializer_list<PyObject *> args,
                   CoBody body) {
  if (args.size() > kMaxCoArgs) throw std::length_error("vestrel: too many coroutine arguments");
  const FunctionView f = function_view(function);
  Coroutine *co;
  if (spare_coroutines.take(co)) {
    PyObject_Init(reinterpret_cast<PyObject *>(co), &coroutine_type);
  } else {
    co = PyObject_GC_New(Coroutine, &coroutine_type);
    if (!co) throw_set();
  }
  new (&co->frame) std::coroutine_handle<CoPromise>();
  co->state = CoState::created;
  co->name = Ref::borrow(f.name).release();
  co->qualname = Ref::borrow(f.qualname).release();
  co->code = Ref::borrow(f.code).release();
  co->traceback_name = f.spec->traceback_name;
  co->file = f.file;
  co->line = f.spec->line;
  co->args = CoArgs{};
  co->delegate = nullptr;
  new (&co->current) std::coroutine_handle<>();
  co->waiting = nullptr;
  co->yielded = nullptr;
  Ref obj = Ref::steal(reinterpret_cast<PyObject *>(co));
  co->args.self = Ref::borrow(self).release();
  std::size_t i = 0;
  for (PyObject *a : args) co->args.arg[i++] = Ref::borrow(a).release();
  Co made = body(co->args);
  co->frame = made.release();
  co->frame.promise().owner = obj.get();
  PyObject_GC_Track(obj.get());
  return obj;
}

}  // namespace vestrel::pyrt
