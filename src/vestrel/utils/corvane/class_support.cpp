#include "class_support.hpp"

#include <cstdlib>
#include <string>
#include <string_view>

#include "pyrt/call.hpp"
#include "pyrt/code.hpp"
#include "pyrt/error.hpp"
#include "pyrt/traceback.hpp"

namespace vestrel::corvane {

using pyrt::check;
using pyrt::Ref;
using pyrt::throw_set;

ModuleState state;

Ref module_global(const char *name) {
  PyObject *v = state.dict ? PyDict_GetItemString(state.dict, name) : nullptr;
  if (!v && state.builtins) {
    Ref b = Ref::steal(PyObject_GetAttrString(state.builtins, name));
    if (b) return b;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_set();
    PyErr_Clear();
  }
  if (!v) {
    Ref key = check(PyUnicode_FromString(name));
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.get());
    throw_set();
  }
  return Ref::borrow(v);
}

namespace {

// The steps of the pickling set-up: a class that customises pickling itself
// (its own __getstate__ or __reduce_ex__, or a __reduce__ of its own) is left
// alone.
void setup_reduce(ClassDef &c) {
  PyObject *type = reinterpret_cast<PyObject *>(c.type);
  PyObject *object = reinterpret_cast<PyObject *>(&PyBaseObject_Type);
  auto same_as_object = [&](const char *name) {
    Ref mine = Ref::steal(PyObject_GetAttrString(type, name));
    if (!mine) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_set();
      PyErr_Clear();
      return true;
    }
    Ref base = check(PyObject_GetAttrString(object, name));
    return mine.get() == base.get();
  };
  if (!same_as_object("__getstate__")) return;
  if (!same_as_object("__reduce_ex__")) return;
  PyObject *own = PyDict_GetItemString(c.type->tp_dict, "__reduce__");
  if (!same_as_object("__reduce__") && !(own && pyrt::is_function(own))) return;
  Ref reduce = make_method_function(c.reduce);
  check(PyDict_SetItemString(c.type->tp_dict, "__reduce__", reduce.get()));
  if (!PyDict_GetItemString(c.type->tp_dict, "__setstate__")) {
    Ref setstate = make_method_function(c.setstate);
    check(PyDict_SetItemString(c.type->tp_dict, "__setstate__", setstate.get()));
  }
  PyType_Modified(c.type);
}

}  // namespace

Ref make_method_function(const Method &m) {
  pyrt::FunctionAttrs attrs{};
  attrs.module_name = state.module_name;
  attrs.globals = state.dict;
  attrs.code = m.code;
  Ref marker = m.fn.coroutine ? pyrt::coroutine_marker() : Ref::borrow(Py_False);
  attrs.is_coroutine = marker.get();
  Ref annotations;
  if (m.extra == Extra::host_defaults) attrs.defaults = state.host_defaults;
  if (m.extra == Extra::returns_none) {
    annotations = check(Py_BuildValue("{ss}", "return", "None"));
    attrs.annotations = annotations.get();
  }
  return pyrt::make_function(m.fn, attrs, m.file);
}

namespace {

void make_code(Method &m) {
  const pyrt::Signature &sig = m.fn.sig;
  const char *params[pyrt::kMaxParams + 1];
  int n = 0;
  if (m.fn.owner) params[n++] = "self";
  for (int i = 0; i < sig.nparams; ++i) params[n++] = sig.params[i].name;
  pyrt::CodeSpec spec{m.fn.name,      m.fn.qualname, params,   n, sig.varargs ? "excinfo" : nullptr,
                      m.fn.coroutine, m.file,        m.fn.line};
  Ref code = pyrt::make_code(spec);
  // A failed earlier import may have left one behind.
  Ref old = Ref::steal(m.code);
  m.code = code.release();
}

}  // namespace

void prepare_methods(std::span<Method> methods, const char *class_name, PyTypeObject *owner,
                     const char *file) {
  for (Method &m : methods) {
    if (!m.file) m.file = file;
    if (!m.file) std::abort();  // a table entry without its source is a build error
    m.qualname_text = m.qualname   ? m.qualname
                      : class_name ? std::string(class_name) + "." + m.name
                                   : std::string(m.name);
    m.traceback_text =
        m.traceback_name ? m.traceback_name : std::string(kModuleName) + "." + m.qualname_text;
    pyrt::Signature sig = m.sig;
    if (!sig.name) sig.name = m.name;
    m.fn = {m.name, m.qualname_text.c_str(),   m.doc, m.traceback_text.c_str(), sig, m.body,
            owner,  m.kind == Kind::coroutine, m.line};
    make_code(m);
  }
}

void prepare_class(ClassDef &c) {
  prepare_methods(c.methods, c.short_name, c.type, c.file);
  prepare_methods(std::span(&c.reduce, 1), c.short_name, c.type, c.file);
  prepare_methods(std::span(&c.setstate, 1), c.short_name, c.type, c.file);
}

const pyrt::FunctionSpec &spec_of(const ClassDef &c, const char *name) {
  for (const Method &m : c.methods)
    if (std::string_view(m.fn.name) == name) return m.fn;
  std::abort();  // a name missing from our own tables is a build error
}

namespace {

// Fills the type on the first call; a later import after a failed one
// leaves it as it is.
void fill_type(ClassDef &c) {
  PyTypeObject &type = *c.type;
  const TypeSlots &slots = c.slots;
  if (type.tp_name) return;
  c.full_name = std::string(kModuleName) + "." + c.short_name;
  Py_SET_REFCNT(&type, 1);
  Py_SET_TYPE(&type, &PyType_Type);
  type.tp_name = c.full_name.c_str();
  type.tp_basicsize = slots.basicsize;
  type.tp_dealloc = slots.dealloc;
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
  if (slots.finalize) type.tp_flags |= Py_TPFLAGS_HAVE_FINALIZE;
  type.tp_finalize = slots.finalize;
  type.tp_doc = slots.doc;
  type.tp_traverse = slots.traverse;
  type.tp_clear = slots.clear ? slots.clear : c.reset_fields;
  type.tp_init = slots.init;
  type.tp_new = slots.new_;
}

}  // namespace

void init_class(ClassDef &c) {
  fill_type(c);
  if (!(c.type->tp_flags & Py_TPFLAGS_READY) && PyType_Ready(c.type) < 0) throw_set();
  Ref capsule = check(PyCapsule_New(c.vtable, nullptr, nullptr));
  check(PyDict_SetItemString(c.type->tp_dict, "__pyx_vtable__", capsule.get()));
  PyType_Modified(c.type);
  check(PyDict_SetItemString(state.dict, c.short_name, reinterpret_cast<PyObject *>(c.type)));
  try {
    setup_reduce(c);
  } catch (const pyrt::PyErrSet &) {
    if (!PyErr_Occurred())
      PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", c.type->tp_name);
    throw;
  }
}

void bind_methods(const ClassDef &c) {
  for (Method &m : c.methods) {
    Ref fn = make_method_function(m);
    Ref key = check(PyUnicode_InternFromString(m.fn.name));
    const std::string_view name = m.fn.name;
    if (name.starts_with("__") && !name.ends_with("__")) {
      // Class-private names are stored mangled, as Python would.
      key = check(PyUnicode_FromFormat("_%s%s", c.short_name, m.fn.name));
    }
    check(PyDict_SetItem(c.type->tp_dict, key.get(), fn.get()));
    PyType_Modified(c.type);
  }
}

bool overridden(const ClassDef &c, PyObject *self, const char *name) {
  Ref key = check(PyUnicode_InternFromString(name));
  return static_cast<bool>(pyrt::find_override(self, key.get(), spec_of(c, name)));
}

Ref call_override(PyObject *self, const char *name, const pyrt::FunctionSpec &own,
                  std::initializer_list<PyObject *> args) {
  Ref key = check(PyUnicode_InternFromString(name));
  Ref override = pyrt::find_override(self, key.get(), own);
  if (!override) return Ref();
  Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
  Py_ssize_t i = 0;
  for (PyObject *a : args) PyTuple_SET_ITEM(tuple.get(), i++, Ref::borrow(a).release());
  return pyrt::call_tuple(override.get(), tuple.get(), nullptr);
}

namespace {
const pyrt::Param kStateParam[] = {{"__pyx_state"}};
}  // namespace

const pyrt::Signature kReduceSig{.name = "__reduce__"};
const pyrt::Signature kSetstateSig{
    .name = "__setstate__", .params = kStateParam, .nparams = 1, .nrequired = 1};

const int kRefuseLine = __LINE__ + 1;
Ref refuse_pickle(PyObject *, pyrt::BoundArgs &) {
  pyrt::raise(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
}

Method refused_reduce() {
  return {.name = "__reduce__",
          .line = kRefuseLine,
          .sig = kReduceSig,
          .body = refuse_pickle,
          .file = source_path(__FILE__)};
}

Method refused_setstate() {
  return {.name = "__setstate__",
          .line = kRefuseLine,
          .sig = kSetstateSig,
          .body = refuse_pickle,
          .file = source_path(__FILE__)};
}

// ------------------------------------------------------------ construction

namespace {

// The table pointer sits right after the object header in all four layouts.
Ref allocate(const ClassDef &c, PyTypeObject *type) {
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) throw_set();
  *reinterpret_cast<void **>(reinterpret_cast<char *>(self.get()) + sizeof(PyObject)) = c.vtable;
  c.reset_fields(self.get());
  return self;
}

void construct(const ClassDef &c, PyObject *self, PyObject *args, PyObject *kwds) {
  const Constructor &k = c.constructor;
  try {
    pyrt::BoundArgs a;
    pyrt::bind(*k.sig, args, kwds, a);
    k.body(self, a);
  } catch (...) {
    pyrt::set_error_from_current_exception();
    const std::string where = std::string(kModuleName) + "." + c.short_name + "." + k.sig->name;
    pyrt::add_traceback(where.c_str(), c.file, k.line);
    throw pyrt::PyErrSet{};
  }
}

}  // namespace

PyObject *new_instance(const ClassDef &c, PyTypeObject *type, PyObject *args,
                       PyObject *kwds) noexcept {
  return pyrt::guarded<PyObject *>(nullptr, [&] {
    Ref self = allocate(c, type);
    construct(c, self.get(), args, kwds);
    return self.release();
  });
}

PyObject *new_blank_instance(const ClassDef &c, PyTypeObject *type) noexcept {
  return pyrt::guarded<PyObject *>(nullptr, [&] { return allocate(c, type).release(); });
}

int init_instance(const ClassDef &c, PyObject *self, PyObject *args, PyObject *kwds) noexcept {
  return pyrt::guarded(-1, [&] {
    construct(c, self, args, kwds);
    return 0;
  });
}

Ref make_queue(std::initializer_list<QueueArg> kwargs) {
  Ref dict = check(PyDict_New());
  for (const QueueArg &a : kwargs) check(PyDict_SetItemString(dict.get(), a.name, a.value.get()));
  Ref args = check(PyTuple_New(0));
  return check(PyObject_Call(state.spsc_type, args.get(), dict.get()));
}

Ref size_obj(std::size_t v) {
  return check(PyLong_FromSize_t(v));
}

Ref bool_obj(bool v) {
  return Ref::borrow(v ? Py_True : Py_False);
}

}  // namespace vestrel::corvane
