// The coroutine object's layout, shared by the driver (coroutine.cpp) and
// the Python type (coroutine_type.cpp). Internal to pyrt.
#pragma once

#include <Python.h>

#include <coroutine>

#include "coroutine.hpp"

namespace vestrel::pyrt {

enum class CoState : unsigned char { created, suspended, running, finished };

struct Coroutine {
  PyObject_HEAD std::coroutine_handle<CoPromise> frame;
  CoState state;
  PyObject *name;
  PyObject *qualname;
  PyObject *code;
  const char *traceback_name;
  const char *file;
  int line;
  CoArgs args;         // owned; the frame borrows them
  PyObject *delegate;  // the iterator the body awaits (cr_await), owned
  // While suspended: the (innermost) body's frame and the await it is in,
  // and what the delegate yielded when it suspended (owned, handed up once).
  std::coroutine_handle<> current;
  Await *waiting;
  PyObject *yielded;
};

inline Coroutine *as_co(PyObject *o) {
  return reinterpret_cast<Coroutine *>(o);
}

// Destroys the body's frame (GIL held, before the arguments it borrows).
void destroy_frame(Coroutine *co) noexcept;
void clear_delegate(Coroutine *co) noexcept;

}  // namespace vestrel::pyrt
