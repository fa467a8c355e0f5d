#include "call.hpp"

#include <stdexcept>

namespace vestrel::pyrt {

Ref call(PyObject *callable, std::initializer_list<PyObject *> args) {
  if (args.size() > kMaxCallArgs) throw std::length_error("vestrel: too many call arguments");
  PyObject *stack[kMaxCallArgs];
  std::size_t n = 0;
  for (PyObject *a : args) stack[n++] = a;
  return check(into_python([&] { return PyObject_Vectorcall(callable, stack, n, nullptr); }));
}

}  // namespace vestrel::pyrt
