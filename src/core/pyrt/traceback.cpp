#include "traceback.hpp"

#include "ref.hpp"

#if PY_VERSION_HEX >= 0x030D0000
// Moved out of the public headers in 3.13, still exported.
extern "C" PyAPI_FUNC(void) _PyTraceback_Add(const char *, const char *, int);
#endif

namespace vestrel::pyrt {

void add_traceback(const char *funcname, const char *file, int line) noexcept {
  if (PyErr_Occurred()) _PyTraceback_Add(funcname, file, line);
}

void write_unraisable(const char *context) noexcept {
  // The hook receives a str naming the routine, as the interpreter's own
  // reports name theirs.
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  Ref name = Ref::steal(PyUnicode_FromString(context));
  if (!name) PyErr_Clear();
  PyErr_Restore(type, value, tb);
  PyErr_WriteUnraisable(name ? name.get() : Py_None);
}

}  // namespace vestrel::pyrt
