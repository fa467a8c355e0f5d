#include "traceback.hpp"

#include <frameobject.h>

#include "exit_unwind.hpp"
#include "ref.hpp"

#if PY_VERSION_HEX >= 0x030D0000
// Moved out of the public headers in 3.13, still exported.
extern "C" PyAPI_FUNC(void) _PyTraceback_Add(const char *, const char *, int);
#endif

namespace vestrel::pyrt {

namespace {

PyObject *frame_globals = nullptr;  // borrowed; the module lives for the process

}  // namespace

void set_traceback_globals(PyObject *module_dict) noexcept {
  frame_globals = module_dict;
}

void add_traceback(const char *funcname, const char *file, int line) noexcept {
  if (!PyErr_Occurred()) return;
  if (!frame_globals) {
    _PyTraceback_Add(funcname, file, line);
    return;
  }
  // As _PyTraceback_Add, but the frame's globals are the module's: whoever
  // formats the entry asks the module's loader for the source (an extension
  // has none) instead of searching sys.path for a file of that name.
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyCodeObject *code = PyCode_NewEmpty(file, funcname, line);
  PyFrameObject *frame =
      code ? PyFrame_New(PyThreadState_Get(), code, frame_globals, nullptr) : nullptr;
  Py_XDECREF(code);
  if (!frame) {
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    return;
  }
#if PY_VERSION_HEX < 0x030B0000
  frame->f_lineno = line;  // later versions take it from the code's first line
#endif
  PyErr_Restore(type, value, tb);
  PyTraceBack_Here(frame);
  Py_DECREF(frame);
}

void write_unraisable(const char *context) noexcept {
  // The hook receives a str naming the routine, as the interpreter's own
  // reports name theirs.
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  Ref name = Ref::steal(PyUnicode_FromString(context));
  if (!name) PyErr_Clear();
  PyErr_Restore(type, value, tb);
  // The hook is Python code, which may be the user's.
  into_python([&] { PyErr_WriteUnraisable(name ? name.get() : Py_None); });
}

}  // namespace vestrel::pyrt
