#include "dispatcher_private.hpp"

#include <new>
#include <utility>

#include "pyrt/call.hpp"
#include "pyrt/error.hpp"
#include "state.hpp"

namespace vestrel::corvane {

namespace {

std::uint64_t read(std::uint64_t &c) noexcept {
  return std::atomic_ref<std::uint64_t>(c).load(std::memory_order_relaxed);
}

void put(PyObject *dict, const char *key, std::uint64_t value) {
  pyrt::Ref v = pyrt::check(PyLong_FromUnsignedLongLong(value));
  pyrt::check(PyDict_SetItemString(dict, key, v.get()));
}

}  // namespace

Private *new_private() {
  return new Private();
}

void free_private(Private *&p) noexcept {
  delete std::exchange(p, nullptr);
}

pyrt::Ref stats_dict(PyObject *q, Private *c, bool wakes) {
  pyrt::Ref dict = PyObject_TypeCheck(q, reinterpret_cast<PyTypeObject *>(state.spsc_type))
                       ? pyrt::call_method(q, "stats")
                       : pyrt::check(PyDict_New());
  if (!PyDict_Check(dict.get())) pyrt::raise(PyExc_TypeError, "the ring's stats() is not a dict");
  if (!c) return dict;
  put(dict.get(), "delivered", read(c->delivered));
  if (wakes) {
    put(dict.get(), "wakes_sent", read(c->wakes_sent));
    put(dict.get(), "wake_failures", read(c->wake_failures));
    put(dict.get(), "announced_waits", read(c->announced_waits));
  }
  return dict;
}

}  // namespace vestrel::corvane
