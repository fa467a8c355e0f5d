#include "args.hpp"

#include <climits>

#include "error.hpp"

namespace vestrel::pyrt {

namespace {

[[noreturn]] void raise_count(const Signature &sig, Py_ssize_t given) {
  const bool exact = sig.nrequired == sig.nparams;
  const bool too_few = given < sig.nrequired;
  const Py_ssize_t expected = too_few ? sig.nrequired : sig.nparams;
  const char *how = exact ? "exactly" : too_few ? "at least" : "at most";
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               sig.name, how, expected, expected == 1 ? "" : "s", given);
  throw_set();
}

int param_index(const Signature &sig, PyObject *key) {
  for (int i = 0; i < sig.total(); ++i)
    if (PyUnicode_CompareWithASCIIString(key, sig.params[i].name) == 0) return i;
  return -1;
}

// Keywords as parallel (names, values) of length n, from a vectorcall or a
// dict; the dict is walked once into a small buffer-free view.
struct Keywords {
  // Vectorcall form.
  PyObject *kwnames = nullptr;
  PyObject *const *values = nullptr;
  // Dict form.
  PyObject *dict = nullptr;

  Py_ssize_t size() const noexcept {
    if (kwnames) return PyTuple_GET_SIZE(kwnames);
    return dict ? PyDict_GET_SIZE(dict) : 0;
  }
  // Calls f(key, value) in order until it returns true.
  template <class F>
  void each(F &&f) const {
    if (kwnames) {
      for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
        if (f(PyTuple_GET_ITEM(kwnames, i), values[i])) return;
    } else if (dict) {
      Py_ssize_t pos = 0;
      PyObject *key, *value;
      while (PyDict_Next(dict, &pos, &key, &value))
        if (f(key, value)) return;
    }
  }
  PyObject *find(const char *name) const {
    PyObject *found = nullptr;
    each([&](PyObject *key, PyObject *value) {
      if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0) {
        found = value;
        return true;
      }
      return false;
    });
    return found;
  }
};

// Reports the first keyword, in call order, that does not bind.
void check_keywords(const Signature &sig, const Keywords &kw, Py_ssize_t nargs) {
  kw.each([&](PyObject *key, PyObject *) {
    if (!PyUnicode_Check(key)) {
      if (sig.total() == 0 && !sig.varargs)
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      else
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
      throw_set();
    }
    const int i = param_index(sig, key);
    if (i < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
      throw_set();
    }
    if (i < nargs) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name,
                   key);
      throw_set();
    }
    return false;
  });
}

void convert(const Signature &sig, BoundArgs &out) {
  for (int i = 0; i < sig.total(); ++i) {
    const Param &p = sig.params[i];
    Arg &a = out.arg[i];
    if (!a.given()) {
      a.size = p.default_size;
      a.flag = p.default_flag;
      continue;
    }
    switch (p.kind) {
      case ArgKind::object:
        break;
      case ArgKind::size:
        a.size = to_size_t(a.obj);
        break;
      case ArgKind::flag:
        a.flag = to_flag(a.obj);
        break;
      case ArgKind::str_or_none:
        check_exact_or_none(a.obj, &PyUnicode_Type, p.name);
        break;
      case ArgKind::tuple_or_none:
        check_exact_or_none(a.obj, &PyTuple_Type, p.name);
        break;
      case ArgKind::int32:
        a.i32 = to_int32(a.obj);
        break;
    }
  }
}

void bind_impl(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, const Keywords &kw,
               BoundArgs &out) {
  if (sig.varargs) {
    // Everything after the named parameters is collected; keywords are refused.
    if (nargs < sig.nrequired) raise_count(sig, nargs);
    if (kw.size() > 0) check_keywords(sig, kw, sig.nparams);
    const Py_ssize_t named = nargs < sig.nparams ? nargs : sig.nparams;
    for (Py_ssize_t i = 0; i < named; ++i) out.arg[i].obj = args[i];
    Ref rest = check(PyTuple_New(nargs - named));
    for (Py_ssize_t i = named; i < nargs; ++i)
      PyTuple_SET_ITEM(rest.get(), i - named, Ref::borrow(args[i]).release());
    out.rest = std::move(rest);
    convert(sig, out);
    return;
  }
  if (nargs > sig.nparams) raise_count(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out.arg[i].obj = args[i];
  if (kw.size() > 0) {
    Py_ssize_t used = 0;
    for (int i = static_cast<int>(nargs); i < sig.total(); ++i) {
      PyObject *value = kw.find(sig.params[i].name);
      if (value) {
        out.arg[i].obj = value;
        ++used;
      } else if (i < sig.nrequired) {
        raise_count(sig, i);
      }
    }
    if (used < kw.size()) check_keywords(sig, kw, nargs);
  } else if (nargs < sig.nrequired) {
    raise_count(sig, nargs);
  }
  convert(sig, out);
}

// The result of __int__ for an object that is not an int.
Ref int_of(PyObject *o) {
  PyNumberMethods *nb = Py_TYPE(o)->tp_as_number;
  if (!nb || !nb->nb_int) raise(PyExc_TypeError, "an integer is required");
  Ref r = check(nb->nb_int(o));
  if (PyLong_CheckExact(r.get())) return r;
  if (PyLong_Check(r.get())) {
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an "
                         "instance of a strict subclass of int is deprecated, and may be removed "
                         "in a future version of Python.",
                         Py_TYPE(r.get())->tp_name) < 0)
      throw_set();
    return r;
  }
  PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
               Py_TYPE(r.get())->tp_name);
  throw_set();
}

}  // namespace

std::size_t to_size_t(PyObject *o) {
  Ref converted;
  if (!PyLong_Check(o)) {
    converted = int_of(o);
    o = converted.get();
  }
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (small == -1 && PyErr_Occurred()) throw_set();
  if (overflow < 0 || (overflow == 0 && small < 0))
    raise(PyExc_OverflowError, "can't convert negative value to size_t");
  if (overflow == 0) return static_cast<std::size_t>(small);
  const unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_set();
  return static_cast<std::size_t>(v);
}

long to_int32(PyObject *o) {
  Ref converted;
  if (!PyLong_Check(o)) {
    converted = int_of(o);
    o = converted.get();
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (v == -1 && PyErr_Occurred()) throw_set();
  // The checksum travels as a C long, 32 bits on the platforms that wrote it.
  if (overflow != 0 || v < INT32_MIN || v > INT32_MAX)
    raise(PyExc_OverflowError, "Python int too large to convert to C long");
  return static_cast<long>(v);
}

bool to_flag(PyObject *o) {
  const int r = PyObject_IsTrue(o);
  if (r < 0) throw_set();
  return r != 0;
}

void check_exact_or_none(PyObject *o, PyTypeObject *type, const char *param) {
  if (o == Py_None || Py_TYPE(o) == type) return;
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
               type->tp_name, Py_TYPE(o)->tp_name);
  throw_set();
}

void bind(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
          BoundArgs &out) {
  Keywords kw;
  if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
    kw.kwnames = kwnames;
    kw.values = args + nargs;
  }
  bind_impl(sig, args, nargs, kw, out);
}

void bind(const Signature &sig, PyObject *args, PyObject *kwargs, BoundArgs &out) {
  Keywords kw;
  kw.dict = kwargs;
  bind_impl(sig, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), kw, out);
}

}  // namespace vestrel::pyrt
