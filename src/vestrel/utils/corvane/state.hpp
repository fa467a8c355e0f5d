// Process-global state of vestrel.utils.corvane.corvane, written only by the
// module's exec step and read-only afterwards (native producers read the
// table and converter pointers without a lock).
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>

#include "pyrt/function.hpp"
#include "pyrt/ref.hpp"
#include "vestrel/spsc_queue.h"

namespace vestrel::corvane {

inline constexpr char kModuleName[] = "vestrel.utils.corvane.corvane";

// A source file's path from the package root ("vestrel/utils/corvane/x.cpp"),
// for traceback entries and code objects: with `__FILE__`, each names the
// file and line that really hold the function.
constexpr const char *source_path(const char *file) {
  const char *after = file;
  for (const char *p = file; *p; ++p)
    if ((p[0] == '/' || p[0] == '\\') && p[1] == 's' && p[2] == 'r' && p[3] == 'c' &&
        (p[4] == '/' || p[4] == '\\'))
      after = p + 5;
  return after;
}

using ObjToCbuf = int (*)(PyObject *, PyObject **, const char **, std::size_t *);
using BufToCbuf = int (*)(PyObject *, Py_buffer *, const char **, std::size_t *);
using StrToCbuf = int (*)(PyObject *, const char **, std::size_t *);

// Owned references live until the process ends: nothing here is released at
// interpreter shutdown, when there is no safe point to do so.
struct ModuleState {
  PyObject *dict = nullptr;            // the module namespace (borrowed from the module)
  PyObject *builtins = nullptr;        // borrowed from the module guard
  PyObject *module_name = nullptr;     // "vestrel.utils.corvane.corvane"
  PyObject *host_defaults = nullptr;   // ("127.0.0.1",), shared by both setup(host)
  PyObject *condition_type = nullptr;  // asyncio.Condition
  PyObject *lock_type = nullptr;       // asyncio.Lock
  PyObject *spsc_type = nullptr;       // vestrel.spsc_queue.spsc_queue.SPSCQueue
  VestrelSPSCQueue_VTable *spsc_vtable = nullptr;
  ObjToCbuf obj_to_cbuf = nullptr;
  BufToCbuf buf_to_cbuf = nullptr;
  StrToCbuf str_to_cbuf = nullptr;
};

extern ModuleState state;

// A module global looked up at call time (module namespace, then builtins),
// as Python code of the module would: NameError when it is in neither.
pyrt::Ref module_global(const char *name);

// What a Python-visible function carries besides its signature.
enum class Extra { none, host_defaults, returns_none };
enum class Kind { function, coroutine };

// One Python-visible function as a table lists it. The names it goes by
// come from its class when the module is set up (qualname "<Class>.<name>",
// traceback name "<module>.<qualname>"), so an entry says only what is its
// own.
struct Method {
  const char *name;
  int line = 0;               // first line, for __code__ and traceback entries
  const char *doc = nullptr;  // the signature line
  pyrt::Signature sig = {};   // sig.name is `name` unless given
  pyrt::FunctionBody body = nullptr;
  Kind kind = Kind::function;
  Extra extra = Extra::none;
  const char *file = nullptr;            // source_path(__FILE__); the class's file if null
  const char *qualname = nullptr;        // where it is not "<Class>.<name>"
  const char *traceback_name = nullptr;  // where it is not "<module>.<qualname>"

  // Filled by the exec step (prepare_methods) and kept for the process.
  pyrt::FunctionSpec fn{};
  std::string qualname_text{}, traceback_text{};
  PyObject *code = nullptr;
};

}  // namespace vestrel::corvane
