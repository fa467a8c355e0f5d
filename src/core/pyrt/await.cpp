#include "await.hpp"

#include "coroutine.hpp"
#include "coroutine_object.hpp"
#include "delegate.hpp"

namespace vestrel::pyrt {

bool Await::await_suspend(std::coroutine_handle<CoPromise> h) noexcept {
  Ref iter = awaitable_iterator(awaitable_.get());
  // The delegate keeps what it needs; a reference held here while suspended
  // would be invisible to the collector and keep cycles alive.
  awaitable_.reset();
  if (!iter) {
    failed_ = true;
    return false;
  }
  Ref out;
  const SendResult r = delegate_send(iter.get(), Py_None, out);
  if (r == SendResult::ret) {
    value_ = std::move(out);
    return false;
  }
  if (r == SendResult::error) {
    failed_ = true;
    return false;
  }
  Coroutine *co = as_co(h.promise().owner);
  co->delegate = iter.release();
  co->waiting = this;
  co->current = h;
  co->yielded = out.release();
  return true;
}

PendingError PendingError::current() noexcept {
  set_error_from_current_exception();
  PendingError e;
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  if (tb && v) PyException_SetTraceback(v, tb);
  e.type_ = Ref::steal(t);
  e.value_ = Ref::steal(v);
  e.tb_ = Ref::steal(tb);
  return e;
}

void PendingError::rethrow() noexcept(false) {
  PyErr_Restore(type_.release(), value_.release(), tb_.release());
  throw_set();
}

AsyncWith::AsyncWith(PyObject *manager) : manager_(Ref::borrow(manager)) {
  PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(manager));
  aexit_ = check(PyObject_GetAttrString(type, "__aexit__"));
  aenter_ = check(PyObject_GetAttrString(type, "__aenter__"));
}

Await AsyncWith::enter() {
  return Await(call(aenter_.get(), {manager_.get()}));
}

Await AsyncWith::exit(const PendingError *e) {
  if (!e) return Await(call(aexit_.get(), {manager_.get(), Py_None, Py_None, Py_None}));
  return Await(call(aexit_.get(), {manager_.get(), e->type(), e->value(), e->traceback()}));
}

}  // namespace vestrel::pyrt
