// Runs native work with the GIL released.
#pragma once

#include <Python.h>

#include "exit_unwind.hpp"

namespace vestrel::pyrt {

// Releases the GIL for the scope; the body must not touch Python objects.
class GilReleased {
 public:
  GilReleased() noexcept : state_(PyEval_SaveThread()) {}
  ~GilReleased() {
    into_python([&] { PyEval_RestoreThread(state_); });
  }
  GilReleased(const GilReleased &) = delete;
  GilReleased &operator=(const GilReleased &) = delete;

 private:
  PyThreadState *state_;
};

template <class F>
auto without_gil(F &&f) noexcept(noexcept(f())) {
  GilReleased released;
  return f();
}

}  // namespace vestrel::pyrt
