// What a coroutine body awaits, and how: a Python awaitable (Await), the
// pair of an `async with` (AsyncWith), and an error carried past an await
// (PendingError). Calls into Python are in call.hpp.
#pragma once

#include <Python.h>

#include <coroutine>

#include "call.hpp"
#include "error.hpp"
#include "ref.hpp"

namespace vestrel::pyrt {

struct CoPromise;

// `co_await Await(obj)`: awaits a Python awaitable; the result is the value
// the awaitable returned. Throws PyErrSet when it raised.
class Await {
 public:
  explicit Await(Ref awaitable) noexcept : awaitable_(std::move(awaitable)) {}
  Await(Await &&o) noexcept = default;

  bool await_ready() const noexcept { return false; }
  bool await_suspend(std::coroutine_handle<CoPromise> h) noexcept;
  Ref await_resume() {
    if (failed_) throw_set();
    return std::move(value_);
  }

  // For the driver: the delegate finished with `value`, or with the error
  // indicator set.
  void finish(Ref value) noexcept { value_ = std::move(value); }
  void fail() noexcept { failed_ = true; }

 private:
  Ref awaitable_;
  Ref value_;
  bool failed_ = false;
};

// The pending error, taken out of the indicator (so handlers may call the C
// API), to be restored later.
class PendingError {
 public:
  // Takes whatever is in flight: a PyErrSet's indicator or a native
  // exception converted to its Python error. Call inside a catch block.
  static PendingError current() noexcept;
  PendingError(PendingError &&o) noexcept
      : type_(std::move(o.type_)), value_(std::move(o.value_)), tb_(std::move(o.tb_)) {}
  PyObject *type() const noexcept { return type_.get(); }
  PyObject *value() const noexcept { return value_ ? value_.get() : Py_None; }
  PyObject *traceback() const noexcept { return tb_ ? tb_.get() : Py_None; }
  // Puts the error back in the indicator and throws PyErrSet.
  [[noreturn]] void rethrow() noexcept(false);

 private:
  PendingError() = default;
  Ref type_, value_, tb_;
};

// `async with obj:` as an explicit pair. __aexit__ and then __aenter__ are
// looked up on the object's type, as the interpreter does.
class AsyncWith {
 public:
  explicit AsyncWith(PyObject *manager);
  Await enter();
  // Awaits __aexit__ with the error's triple (or three Nones).
  Await exit(const PendingError *error);

 private:
  Ref manager_, aenter_, aexit_;
};

}  // namespace vestrel::pyrt
