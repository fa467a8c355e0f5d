#include "reader_steps.hpp"

#include <cstddef>

#include "pyrt/error.hpp"

namespace vestrel::corvane {

PyObject *take_copy(PyObject *q, RingTake op) noexcept {
  return pyrt::guarded<PyObject *>(nullptr, [&]() -> PyObject * {
    auto *ring = reinterpret_cast<VestrelSPSCQueue *>(q);
    const char *data = nullptr;
    std::size_t length = 0;
    if ((ring->vtab->*op)(ring, &data, &length) != VESTREL_RING_TAKEN)
      return pyrt::Ref::borrow(Py_None).release();
    return pyrt::check(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(length))).release();
  });
}

}  // namespace vestrel::corvane
