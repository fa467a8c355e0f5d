// Traceback entries for errors raised in native code, and reports of errors
// that cannot propagate.
#pragma once

#include <Python.h>

namespace vestrel::pyrt {

// Adds one traceback entry, `funcname` at `file`:`line`, to the pending
// exception. Keeps the pending exception if building the entry fails.
void add_traceback(const char *funcname, const char *file, int line) noexcept;

// The module namespace the entries' frames carry as their globals (the
// module guard sets it); null for empty ones.
void set_traceback_globals(PyObject *module_dict) noexcept;

// Hands the pending exception to sys.unraisablehook with `context` (a fully
// qualified routine name) as the object, and clears it.
void write_unraisable(const char *context) noexcept;

// Sets the pending exception aside for a scope and restores it afterwards
// (destructors must neither lose nor clobber an exception in flight).
class SavedError {
 public:
  SavedError() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
  ~SavedError() { PyErr_Restore(type_, value_, tb_); }
  SavedError(const SavedError &) = delete;
  SavedError &operator=(const SavedError &) = delete;

 private:
  PyObject *type_, *value_, *tb_;
};

}  // namespace vestrel::pyrt
