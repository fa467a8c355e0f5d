#include "delegate.hpp"

#include "coroutine.hpp"
#include "exit_unwind.hpp"

namespace vestrel::pyrt {

namespace {

// A generator made a coroutine by @types.coroutine may be awaited directly.
bool is_iterable_coroutine(PyObject *o) noexcept {
  if (!PyGen_CheckExact(o)) return false;
#if PY_VERSION_HEX >= 0x030C0000
  PyCodeObject *code = PyGen_GetCode(reinterpret_cast<PyGenObject *>(o));
#elif PY_VERSION_HEX >= 0x030B0000
  // 3.11 exports no accessor; the attribute is the way there (a rare path).
  Ref attr = Ref::steal(PyObject_GetAttrString(o, "gi_code"));
  if (!attr) PyErr_Clear();
  PyCodeObject *code =
      attr && PyCode_Check(attr.get()) ? reinterpret_cast<PyCodeObject *>(attr.get()) : nullptr;
#else
  PyCodeObject *code =
      reinterpret_cast<PyCodeObject *>(reinterpret_cast<PyGenObject *>(o)->gi_code);
#endif
  return code && (code->co_flags & CO_ITERABLE_COROUTINE);
}

// After an iterator returned null: exhausted (value None), returned a value
// through StopIteration, or failed.
SendResult stop_value(Ref &out) noexcept {
  if (!PyErr_Occurred()) {
    out = Ref::borrow(Py_None);
    return SendResult::ret;
  }
  if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return SendResult::error;
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  // A StopIteration set by type and argument is made an instance first.
  PyErr_NormalizeException(&t, &v, &tb);
  Ref type = Ref::steal(t), value = Ref::steal(v), trace = Ref::steal(tb);
  if (value &&
      PyObject_TypeCheck(value.get(), reinterpret_cast<PyTypeObject *>(PyExc_StopIteration)))
    out = Ref::borrow(reinterpret_cast<PyStopIterationObject *>(value.get())->value);
  if (!out) out = Ref::borrow(Py_None);
  return SendResult::ret;
}

}  // namespace

Ref awaitable_iterator(PyObject *o) noexcept {
  if (is_coroutine(o) || PyCoro_CheckExact(o) || is_iterable_coroutine(o)) return Ref::borrow(o);
  unaryfunc getter = Py_TYPE(o)->tp_as_async ? Py_TYPE(o)->tp_as_async->am_await : nullptr;
  if (!getter) {
    PyErr_Format(PyExc_TypeError, "object %.200s can't be used in 'await' expression",
                 Py_TYPE(o)->tp_name);
    return Ref();
  }
  Ref it = Ref::steal(into_python([&] { return getter(o); }));
  if (!it) return Ref();
  if (is_coroutine(it.get()) || PyCoro_CheckExact(it.get()) || is_iterable_coroutine(it.get())) {
    PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
    return Ref();
  }
  if (!PyIter_Check(it.get())) {
    PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                 Py_TYPE(it.get())->tp_name);
    return Ref();
  }
  return it;
}

SendResult delegate_send(PyObject *iter, PyObject *arg, Ref &out) noexcept {
  if (is_coroutine(iter)) return coroutine_send(iter, arg, false, out);
#if PY_VERSION_HEX >= 0x030A0000
  PyObject *res = nullptr;
  const PySendResult r = into_python([&] { return PyIter_Send(iter, arg, &res); });
  out = Ref::steal(res);
  return r == PYGEN_NEXT     ? SendResult::next
         : r == PYGEN_RETURN ? SendResult::ret
                             : SendResult::error;
#else
  PyObject *res = into_python([&] {
    if (PyGen_CheckExact(iter) || PyCoro_CheckExact(iter))
      return _PyGen_Send(reinterpret_cast<PyGenObject *>(iter), arg);
    if (arg == Py_None && Py_TYPE(iter)->tp_iternext) return Py_TYPE(iter)->tp_iternext(iter);
    return PyObject_CallMethod(iter, "send", "O", arg);
  });
  if (res) {
    out = Ref::steal(res);
    return SendResult::next;
  }
  return stop_value(out);
#endif
}

SendResult delegate_throw(PyObject *iter, Ref &out) noexcept {
  if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
    // PEP 380: close the delegate, then raise GeneratorExit here (unless
    // closing it failed: that error goes on instead).
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    Ref type = Ref::steal(t), value = Ref::steal(v), trace = Ref::steal(tb);
    if (is_coroutine(iter)) {
      if (coroutine_close(iter) < 0) return SendResult::error;
    } else {
      Ref close = Ref::steal(PyObject_GetAttrString(iter, "close"));
      if (!close) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return SendResult::error;
        PyErr_Clear();
      } else if (!Ref::steal(into_python([&] { return PyObject_CallNoArgs(close.get()); }))) {
        return SendResult::error;
      }
    }
    PyErr_Restore(type.release(), value.release(), trace.release());
    return SendResult::error;
  }
  if (is_coroutine(iter)) return coroutine_send(iter, nullptr, true, out);
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  if (tb) PyException_SetTraceback(v, tb);
  Ref type = Ref::steal(t), value = Ref::steal(v), trace = Ref::steal(tb);
  Ref method = Ref::steal(PyObject_GetAttrString(iter, "throw"));
  if (!method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return SendResult::error;
    PyErr_Clear();
    PyErr_Restore(type.release(), value.release(), trace.release());
    return SendResult::error;
  }
  // The one-argument form: the three-argument one is deprecated on 3.12+.
  PyObject *res = into_python([&] { return PyObject_CallOneArg(method.get(), value.get()); });
  if (res) {
    out = Ref::steal(res);
    return SendResult::next;
  }
  return stop_value(out);
}

bool raise_thrown(PyObject *type, PyObject *value, PyObject *tb) noexcept {
  if (tb == Py_None) tb = nullptr;
  if (tb && !PyTraceBack_Check(tb)) {
    PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
    return false;
  }
  if (value == Py_None) value = nullptr;
  if (PyExceptionClass_Check(type)) {
    PyObject *t = Ref::borrow(type).release(), *v = Ref::borrow(value).release(),
             *b = Ref::borrow(tb).release();
    PyErr_NormalizeException(&t, &v, &b);
    if (b) PyException_SetTraceback(v, b);
    PyErr_Restore(t, v, b);
    return true;
  }
  if (PyExceptionInstance_Check(type)) {
    if (value) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return false;
    }
    PyObject *v = Ref::borrow(type).release();
    PyObject *t = Ref::borrow(PyExceptionInstance_Class(type)).release();
    PyObject *b = tb ? Ref::borrow(tb).release() : PyException_GetTraceback(v);
    PyErr_Restore(t, v, b);
    return true;
  }
  PyErr_Format(PyExc_TypeError,
               "exceptions must be classes or instances deriving from BaseException, not %s",
               Py_TYPE(type)->tp_name);
  return false;
}

}  // namespace vestrel::pyrt
