// An owning PyObject* handle for producer modules: releases its reference
// when it goes, so that early returns on a Python error leak nothing.
#pragma once

#include <Python.h>

#include <utility>

namespace vestrel::testing {

class Ref {
 public:
  Ref() noexcept = default;
  // Takes ownership of a new reference (may be null).
  static Ref steal(PyObject *o) noexcept { return Ref(o); }
  // Adds a reference to a borrowed one.
  static Ref borrow(PyObject *o) noexcept {
    Py_XINCREF(o);
    return Ref(o);
  }

  Ref(Ref &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref &operator=(Ref &&o) noexcept {
    // Swapped first: the old object's dealloc may run arbitrary code.
    PyObject *old = std::exchange(p_, std::exchange(o.p_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  Ref(const Ref &) = delete;
  Ref &operator=(const Ref &) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject *get() const noexcept { return p_; }
  // Hands the reference to the caller.
  PyObject *release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject *o) noexcept : p_(o) {}
  PyObject *p_ = nullptr;
};

}  // namespace vestrel::testing
