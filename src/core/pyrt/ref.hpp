// Owning handle for PyObject*: the only place outside type slots that
// touches reference counts directly.
#pragma once

#include <Python.h>

#include <utility>

namespace vestrel::pyrt {

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

  Ref(Ref &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref &operator=(Ref &&o) noexcept {
    if (this != &o) {
      PyObject *old = p_;
      p_ = o.p_;
      o.p_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  Ref(const Ref &) = delete;
  Ref &operator=(const Ref &) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject *get() const noexcept { return p_; }
  // Hands the reference to the caller.
  PyObject *release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset() noexcept { Py_CLEAR(p_); }

 private:
  explicit Ref(PyObject *o) noexcept : p_(o) {}
  PyObject *p_ = nullptr;
};

}  // namespace vestrel::pyrt
