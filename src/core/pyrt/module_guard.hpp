// Create and exec steps shared by our multi-phase-init modules.
//
// Our modules keep their state process-global, so each one is built exactly
// once, in one interpreter: a re-import returns the module object made the
// first time, and nothing is re-executed. A module owns one ModuleGuard
// (constant-initialised, never destroyed) and routes its slots through it:
//
//   PyObject *create(PyObject *spec, PyModuleDef *) noexcept {
//     return guard.create(spec);
//   }
//   int exec(PyObject *m) noexcept {
//     return guard.exec(m, [](ModuleGuard &g) {
//       ...module steps that come before publishing...
//       g.publish();
//       ...module steps that need the module in sys.modules...
//     });
//   }
#pragma once

#include <Python.h>

#include <cstdint>

#include "error.hpp"

namespace vestrel::pyrt {

class ModuleGuard {
 public:
  // `short_name` appears in the re-initialisation message; `full_name` is the
  // import name used for the version warning and the sys.modules entry.
  constexpr ModuleGuard(const char *short_name, const char *full_name) noexcept
      : short_name_(short_name), full_name_(full_name) {}
  ModuleGuard(const ModuleGuard &) = delete;
  ModuleGuard &operator=(const ModuleGuard &) = delete;

  // The create slot: returns the existing module or a new one from `spec`.
  PyObject *create(PyObject *spec) noexcept;

  // The exec slot. Runs the common opening steps (guard, record, builtins,
  // version check), then `body(*this)`. A failure after the guard releases and
  // forgets the recorded module, so a later import starts afresh.
  template <class Body>
  int exec(PyObject *module, Body &&body) noexcept {
    switch (enter(module)) {
      case Entry::done:
        return 0;
      case Entry::refused:
        return -1;
      case Entry::fresh:
        break;
    }
    try {
      begin(module);
      body(*this);
      return 0;
    } catch (...) {
      set_error_from_current_exception();
      fail();
      return -1;
    }
  }

  // Renames the module to "__main__" when it runs as the main program and
  // enters it in sys.modules under its full name unless that entry exists.
  void publish();

  // From here on, a failing exec step adds the traceback entry
  // "init <full name>" at `line` of `file`. Call before each such step.
  void at(const char *file, int line) noexcept {
    tb_file_ = file;
    tb_line_ = line;
  }

  PyObject *module() const noexcept { return module_; }
  PyObject *dict() const noexcept { return dict_; }
  PyObject *builtins() const noexcept { return builtins_; }
  const char *full_name() const noexcept { return full_name_; }

  // Set by an embedding build that runs the module as its main program.
  bool run_as_main = false;

 private:
  enum class Entry { fresh, done, refused };
  Entry enter(PyObject *module) noexcept;
  void begin(PyObject *module);
  void fail() noexcept;

  const char *short_name_;
  const char *full_name_;
  // Owned references, kept until the process ends (never released at
  // interpreter shutdown: there is no safe point to do so).
  PyObject *module_ = nullptr;
  PyObject *builtins_ = nullptr;
  PyObject *dict_ = nullptr;  // borrowed from module_
  std::int64_t interp_id_ = -1;
  const char *tb_file_ = nullptr;
  int tb_line_ = 0;
};

// The running interpreter's version as read from the text of sys.version:
// up to four dot-separated numbers packed one byte each, most significant
// first (3.9.7 -> 0x03090700). Computed once per process.
std::uint32_t runtime_version();

// Packs a version text as runtime_version() does.
std::uint32_t pack_version(const char *text) noexcept;

}  // namespace vestrel::pyrt
