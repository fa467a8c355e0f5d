// Argument binding for our Python-visible callables: positional and keyword
// arguments matched against a fixed parameter list, then converted by kind.
// The messages are the ones our callers have always seen; keep them exact.
#pragma once

#include <Python.h>

#include <cstddef>

#include "ref.hpp"

namespace vestrel::pyrt {

enum class ArgKind {
  object,         // any object, passed on as is
  size,           // size_t: int as is, else through __int__
  flag,           // truth value of any object
  str_or_none,    // exactly str, or None
  tuple_or_none,  // exactly tuple, or None
  int32,          // signed 32-bit: int as is, else through __int__
};

struct Param {
  const char *name;
  ArgKind kind = ArgKind::object;
  // Used when the argument is not given (optional parameters only).
  std::size_t default_size = 0;
  bool default_flag = false;
};

struct Signature {
  const char *name = nullptr;  // the short name used in messages
  const Param *params = nullptr;
  int nparams = 0;       // positional-or-keyword, excluding self and *args
  int nrequired = 0;     // the leading nrequired parameters have no default
  bool varargs = false;  // extra positionals collected; then no keywords at all
  // Keyword-only parameters, with defaults, after the nparams in `params`.
  int nkwonly = 0;

  int total() const noexcept { return nparams + nkwonly; }
};

inline constexpr int kMaxParams = 12;

// One bound argument. `obj` is borrowed from the call (null when the
// parameter was not given); the converted value is in `size`, `flag` or `i32`.
struct Arg {
  PyObject *obj = nullptr;
  std::size_t size = 0;
  bool flag = false;
  long i32 = 0;
  bool given() const noexcept { return obj != nullptr; }
};

struct BoundArgs {
  Arg arg[kMaxParams];
  Ref rest;                      // the extra positionals of a *args function, as a tuple
  PyObject *function = nullptr;  // the function being called (borrowed), when there is one
  const Arg &operator[](int i) const noexcept { return arg[i]; }
};

// Binds a vectorcall: `args[0..nargs)` positionals, then one value per name
// in `kwnames` (may be null). Throws PyErrSet with the binding message set.
void bind(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
          BoundArgs &out);

// Binds a tuple/dict call (tp_new, tp_init, tp_call). `kwargs` may be null.
void bind(const Signature &sig, PyObject *args, PyObject *kwargs, BoundArgs &out);

// The conversions, usable on their own.
std::size_t to_size_t(PyObject *o);
long to_int32(PyObject *o);
bool to_flag(PyObject *o);
void check_exact_or_none(PyObject *o, PyTypeObject *type, const char *param);

}  // namespace vestrel::pyrt
