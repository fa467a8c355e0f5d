// Our function type: what the classes of a module bind into their dicts.
// It carries the attributes Python functions have (__code__, __defaults__,
// __globals__, ...), binds through an instance like a Python function, and
// is called by vectorcall. Argument binding and conversion happen here; the
// body receives the bound arguments. Any error leaving the body gains one
// traceback entry naming the function.
#pragma once

#include <Python.h>

#include "args.hpp"
#include "ref.hpp"

namespace vestrel::pyrt {

// `self` is null for module-level functions.
using FunctionBody = Ref (*)(PyObject *self, BoundArgs &args);

struct FunctionSpec {
  const char *name;            // __name__, also the name in binding messages
  const char *qualname;        // __qualname__
  const char *doc;             // __doc__: the signature line
  const char *traceback_name;  // fully qualified dotted name for traceback entries
  Signature sig;
  FunctionBody body;
  PyTypeObject *owner;  // the class of `self`; null for module-level functions
  bool coroutine;
  int line;  // first line, for __code__ and traceback entries
};

struct FunctionAttrs {
  PyObject *module_name;   // __module__ (str)
  PyObject *globals;       // __globals__ (the module dict)
  PyObject *code;          // __code__
  PyObject *defaults;      // __defaults__ (tuple or null for None)
  PyObject *annotations;   // __annotations__ (dict or null for a new empty dict)
  PyObject *is_coroutine;  // _is_coroutine
};

// Readies the function type; call from each module's exec step.
void ready_function_type();

// A new function object for `spec`; its traceback entries name `file`.
Ref make_function(const FunctionSpec &spec, const FunctionAttrs &attrs, const char *file);

// The value of _is_coroutine for coroutine functions: asyncio's marker where
// asyncio has one, True otherwise.
Ref coroutine_marker();

// For a C-level entry that a Python subclass may override (called with the
// override flag 0): the instance's attribute `name` when it is not `own`'s
// function, else null. Only subclasses defined in Python are looked at.
Ref find_override(PyObject *self, PyObject *name, const FunctionSpec &own);

bool is_function(PyObject *o) noexcept;

// What a coroutine needs of the function that made it (borrowed).
struct FunctionView {
  PyObject *name;
  PyObject *qualname;
  PyObject *code;
  const FunctionSpec *spec;
  const char *file;
};
FunctionView function_view(PyObject *function) noexcept;

}  // namespace vestrel::pyrt
