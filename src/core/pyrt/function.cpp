#include "function.hpp"

#include <structmember.h>

#include <cstddef>

#include "error.hpp"
#include "traceback.hpp"

namespace vestrel::pyrt {

namespace {

struct Function {
  PyObject_HEAD vectorcallfunc vectorcall;
  const FunctionSpec *spec;
  const char *file;
  PyObject *name;
  PyObject *qualname;
  PyObject *doc;
  PyObject *module;
  PyObject *globals;
  PyObject *code;
  PyObject *defaults;
  PyObject *annotations;
  PyObject *is_coroutine;
  PyObject *dict;
};

inline Function *as_function(PyObject *o) {
  return reinterpret_cast<Function *>(o);
}

PyObject *call_body(Function *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  const FunctionSpec &s = *f->spec;
  PyObject *self = nullptr;
  if (s.owner) {
    if (nargs < 1) {
      PyErr_Format(PyExc_TypeError, "unbound method %.200s() needs an argument", s.qualname);
      throw_set();
    }
    self = args[0];
    // The body reads `self` as the owner's layout: anything else is refused.
    if (!PyObject_TypeCheck(self, s.owner)) {
      PyErr_Format(PyExc_TypeError,
                   "descriptor '%.200s' for '%.100s' objects doesn't apply to a '%.100s' object",
                   s.name, s.owner->tp_name, Py_TYPE(self)->tp_name);
      throw_set();
    }
    ++args;
    --nargs;
  }
  BoundArgs bound;
  bind(s.sig, args, nargs, kwnames, bound);
  bound.function = reinterpret_cast<PyObject *>(f);
  return s.body(self, bound).release();
}

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) noexcept {
  Function *f = as_function(callable);
  try {
    return call_body(f, args, PyVectorcall_NARGS(nargsf), kwnames);
  } catch (...) {
    set_error_from_current_exception();
    add_traceback(f->spec->traceback_name, f->file, f->spec->line);
    return nullptr;
  }
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) noexcept {
  if (!obj || obj == Py_None) return Ref::borrow(self).release();
  return PyMethod_New(self, obj);
}

PyObject *function_repr(PyObject *self) noexcept {
  return PyUnicode_FromFormat("<function %S at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
  Function *f = as_function(self);
  Py_VISIT(f->module);
  Py_VISIT(f->globals);
  Py_VISIT(f->code);
  Py_VISIT(f->defaults);
  Py_VISIT(f->annotations);
  Py_VISIT(f->is_coroutine);
  Py_VISIT(f->dict);
  return 0;
}

int function_clear(PyObject *self) noexcept {
  Function *f = as_function(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->module);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->code);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->is_coroutine);
  Py_CLEAR(f->dict);
  return 0;
}

void function_dealloc(PyObject *self) noexcept {
  PyObject_GC_UnTrack(self);
  function_clear(self);
  PyObject_GC_Del(self);
}

// Python functions have __kwdefaults__; inspect looks for it before it treats
// an object as function-like.
PyObject *get_kwdefaults(PyObject *, void *) noexcept {
  Py_RETURN_NONE;
}

#define VESTREL_MEMBER(name, field, flags) \
  { const_cast<char *>(name), T_OBJECT, offsetof(Function, field), flags, nullptr }

PyMemberDef function_members[] = {
    VESTREL_MEMBER("__name__", name, READONLY),
    VESTREL_MEMBER("__qualname__", qualname, READONLY),
    VESTREL_MEMBER("__doc__", doc, 0),
    VESTREL_MEMBER("__module__", module, 0),
    VESTREL_MEMBER("__globals__", globals, READONLY),
    VESTREL_MEMBER("__code__", code, READONLY),
    VESTREL_MEMBER("__defaults__", defaults, READONLY),
    VESTREL_MEMBER("__annotations__", annotations, READONLY),
    VESTREL_MEMBER("_is_coroutine", is_coroutine, 0),
    {nullptr, 0, 0, 0, nullptr},
};

#undef VESTREL_MEMBER

PyGetSetDef function_getset[] = {
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled by reference, as Python functions are: the name to look it up by
// in its module.
PyObject *function_reduce(PyObject *self, PyObject *) noexcept {
  return Ref::borrow(as_function(self)->qualname).release();
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject function_type{};

}  // namespace

bool is_function(PyObject *o) noexcept {
  return Py_TYPE(o) == &function_type;
}

void ready_function_type() {
  if (function_type.tp_flags & Py_TPFLAGS_READY) return;
  Py_SET_REFCNT(&function_type, 1);
  Py_SET_TYPE(&function_type, &PyType_Type);
  function_type.tp_name = "vestrel.function";
  function_type.tp_basicsize = sizeof(Function);
  function_type.tp_dealloc = function_dealloc;
  function_type.tp_vectorcall_offset = offsetof(Function, vectorcall);
  function_type.tp_repr = function_repr;
  function_type.tp_call = PyVectorcall_Call;
  function_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                           Py_TPFLAGS_METHOD_DESCRIPTOR;
  function_type.tp_traverse = function_traverse;
  function_type.tp_clear = function_clear;
  function_type.tp_methods = function_methods;
  function_type.tp_members = function_members;
  function_type.tp_getset = function_getset;
  function_type.tp_descr_get = function_descr_get;
  function_type.tp_dictoffset = offsetof(Function, dict);
  if (PyType_Ready(&function_type) < 0) throw_set();
}

FunctionView function_view(PyObject *function) noexcept {
  Function *f = as_function(function);
  return {f->name, f->qualname, f->code, f->spec, f->file};
}

Ref make_function(const FunctionSpec &spec, const FunctionAttrs &attrs, const char *file) {
  Ref name = check(PyUnicode_InternFromString(spec.name));
  Ref qualname = check(PyUnicode_FromString(spec.qualname));
  Ref doc = spec.doc ? check(PyUnicode_FromString(spec.doc)) : Ref::borrow(Py_None);
  Ref annotations = attrs.annotations ? Ref::borrow(attrs.annotations) : check(PyDict_New());
  Ref self = Ref::steal(reinterpret_cast<PyObject *>(PyObject_GC_New(Function, &function_type)));
  if (!self) throw_set();
  Function *f = as_function(self.get());
  f->vectorcall = function_vectorcall;
  f->spec = &spec;
  f->file = file;
  f->name = name.release();
  f->qualname = qualname.release();
  f->doc = doc.release();
  f->module = Ref::borrow(attrs.module_name).release();
  f->globals = Ref::borrow(attrs.globals).release();
  f->code = Ref::borrow(attrs.code).release();
  f->defaults = Ref::borrow(attrs.defaults).release();
  f->annotations = annotations.release();
  f->is_coroutine = Ref::borrow(attrs.is_coroutine).release();
  f->dict = nullptr;
  PyObject_GC_Track(self.get());
  return self;
}

Ref coroutine_marker() {
  Ref coroutines = Ref::steal(PyImport_ImportModule("asyncio.coroutines"));
  Ref marker;
  if (coroutines) marker = Ref::steal(PyObject_GetAttrString(coroutines.get(), "_is_coroutine"));
  if (marker) return marker;
  PyErr_Clear();
  return Ref::borrow(Py_True);
}

Ref find_override(PyObject *self, PyObject *name, const FunctionSpec &own) {
  PyTypeObject *type = Py_TYPE(self);
  if (type->tp_dictoffset == 0 && !(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) return Ref();
  Ref attr = check(PyObject_GetAttr(self, name));
  PyObject *fn = PyMethod_Check(attr.get()) ? PyMethod_GET_FUNCTION(attr.get()) : attr.get();
  if (is_function(fn) && as_function(fn)->spec == &own) return Ref();
  return attr;
}

}  // namespace vestrel::pyrt
