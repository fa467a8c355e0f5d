// Code objects for native functions: real code objects carrying the
// parameter names, argument count and coroutine flag, so that introspection
// (inspect.signature, asyncio.iscoroutinefunction) sees what Python code
// would see.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace vestrel::pyrt {

struct CodeSpec {
  const char *name;
  const char *qualname;
  const char *const *params;  // all positional parameters, self included
  int nparams;
  const char *varargs;  // name of the *args parameter, or null
  bool coroutine;
  const char *file;
  int firstline;
};

Ref make_code(const CodeSpec &spec);

}  // namespace vestrel::pyrt
