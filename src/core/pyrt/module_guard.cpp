#include "module_guard.hpp"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "traceback.hpp"

#if PY_VERSION_HEX >= 0x030D0000
// Moved out of the public headers in 3.13, still exported.
extern "C" PyAPI_FUNC(void) _PyTraceback_Add(const char *, const char *, int);
#endif

namespace vestrel::pyrt {

namespace {

// Copies spec.<from> into the module namespace as `to`. A missing attribute is
// skipped; so is None when `skip_none` is set.
void copy_spec_attr(PyObject *spec, PyObject *dict, const char *from, const char *to,
                    bool skip_none) {
  Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_set();
    PyErr_Clear();
    return;
  }
  if (skip_none && value.get() == Py_None) return;
  check(PyDict_SetItemString(dict, to, value.get()));
}

std::int64_t current_interpreter_id() {
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw_set();
  return id;
}

void check_version(const char *full_name) {
  const std::uint32_t rt = runtime_version();
  const int rt_major = static_cast<int>(rt >> 24);
  const int rt_minor = static_cast<int>((rt >> 16) & 0xFF);
  if (rt_major == PY_MAJOR_VERSION && rt_minor == PY_MINOR_VERSION) return;
  char msg[200];
  std::snprintf(msg, sizeof msg,
                "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                PY_MAJOR_VERSION, PY_MINOR_VERSION, full_name, "does not match", rt_major,
                rt_minor);
  check(PyErr_WarnEx(PyExc_RuntimeWarning, msg, 1));
}

}  // namespace

std::uint32_t pack_version(const char *text) noexcept {
  std::uint32_t packed = 0;
  for (int shift = 24; shift >= 0; shift -= 8) {
    unsigned n = 0;
    for (; *text >= '0' && *text <= '9'; ++text)
      n = std::min(n * 10 + static_cast<unsigned>(*text - '0'), 255u);
    packed |= static_cast<std::uint32_t>(n) << shift;
    if (*text != '.') break;
    ++text;
  }
  return packed;
}

std::uint32_t runtime_version() {
  // Read under the interpreter lock on first use; the lock also serialises
  // the initialisation.
  static const std::uint32_t packed = [] {
    // sys.version rather than the built-in string: it is what Python code sees.
    PyObject *text = PySys_GetObject("version");  // borrowed
    const char *s = text && PyUnicode_Check(text) ? PyUnicode_AsUTF8(text) : nullptr;
    if (!s) {
      PyErr_Clear();
      s = Py_GetVersion();
    }
    return pack_version(s);
  }();
  return packed;
}

PyObject *ModuleGuard::create(PyObject *spec) noexcept {
  return guarded<PyObject *>(nullptr, [&] {
    const std::int64_t id = current_interpreter_id();
    if (interp_id_ == -1) {
      interp_id_ = id;
    } else if (interp_id_ != id) {
      raise(PyExc_ImportError,
            "Interpreter change detected - this module can only be loaded into one "
            "interpreter per process.");
    }
    if (module_) return Ref::borrow(module_).release();

    Ref name = check(PyObject_GetAttrString(spec, "name"));
    Ref module = check(PyModule_NewObject(name.get()));
    PyObject *dict = PyModule_GetDict(module.get());
    copy_spec_attr(spec, dict, "loader", "__loader__", false);
    copy_spec_attr(spec, dict, "origin", "__file__", false);
    copy_spec_attr(spec, dict, "parent", "__package__", false);
    copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", true);
    return module.release();
  });
}

ModuleGuard::Entry ModuleGuard::enter(PyObject *module) noexcept {
  if (!module_) return Entry::fresh;
  if (module_ == module) return Entry::done;
  PyErr_Format(PyExc_RuntimeError,
               "Module '%s' has already been imported. Re-initialisation is not supported.",
               short_name_);
  return Entry::refused;
}

void ModuleGuard::begin(PyObject *module) {
  module_ = Ref::borrow(module).release();
  dict_ = PyModule_GetDict(module_);
  builtins_ = check(PyImport_ImportModule("builtins")).release();
  check(PyObject_SetAttrString(module_, "__builtins__", builtins_));
  set_traceback_globals(dict_);
  check_version(full_name_);
}

void ModuleGuard::publish() {
  if (run_as_main) {
    Ref main = check(PyUnicode_FromString("__main__"));
    check(PyObject_SetAttrString(module_, "__name__", main.get()));
  }
  PyObject *modules = PyImport_GetModuleDict();  // borrowed
  Ref key = check(PyUnicode_FromString(full_name_));
  if (!check(PyDict_Contains(modules, key.get())))
    check(PyDict_SetItem(modules, key.get(), module_));
}

void ModuleGuard::fail() noexcept {
  if (tb_line_ != 0) {
    char name[128];
    std::snprintf(name, sizeof name, "init %s", full_name_);
    _PyTraceback_Add(name, tb_file_, tb_line_);
  }
  tb_file_ = nullptr;
  tb_line_ = 0;
  // Forget the half-built module; the interpreter id stays recorded.
  set_traceback_globals(nullptr);
  dict_ = nullptr;
  Ref::steal(std::exchange(builtins_, nullptr)).reset();
  Ref::steal(std::exchange(module_, nullptr)).reset();
}

}  // namespace vestrel::pyrt
