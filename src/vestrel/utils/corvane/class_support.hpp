// What the four classes share: field handling for their type slots, type
// set-up with the exported method table, the pickling set-up, and the
// override dispatch of their C-level entries.
#pragma once

#include <Python.h>

#include <utility>

#include <initializer_list>
#include <span>

#include "pyrt/args.hpp"
#include "pyrt/error.hpp"
#include "pyrt/function.hpp"
#include "pyrt/ref.hpp"
#include "state.hpp"

namespace vestrel::corvane {

// Replaces an object field's reference (type slots and constructors only).
inline void set_field(PyObject *&field, pyrt::Ref value) noexcept {
  pyrt::Ref old = pyrt::Ref::steal(field);
  field = value.release();
}

// Sets each object field to None, dropping what it held: after allocation and
// after a cycle clear, fields read None, never null.
inline void reset_fields(std::initializer_list<PyObject **> fields) noexcept {
  for (PyObject **f : fields) set_field(*f, pyrt::Ref::borrow(Py_None));
}

// A class's object fields, in layout order: traversal visits them, clearing
// sets them to None, deallocation drops them.
template <class Self, PyObject *Self::*...Fields>
struct ObjectFields {
  static int traverse(PyObject *o, visitproc visit, void *arg) noexcept {
    Self *self = reinterpret_cast<Self *>(o);
    int r = 0;
    ((r = r ? r : (self->*Fields ? visit(self->*Fields, arg) : 0)), ...);
    return r;
  }
  static void reset(Self *self) noexcept { reset_fields({&(self->*Fields)...}); }
  // tp_clear.
  static int clear(PyObject *o) noexcept {
    reset(reinterpret_cast<Self *>(o));
    return 0;
  }
  static void release(Self *self) noexcept {
    auto drop = [](PyObject *&field) { pyrt::Ref::steal(std::exchange(field, nullptr)); };
    (drop(self->*Fields), ...);
  }
};

struct ClassDef {
  const char *short_name;
  PyTypeObject *type;
  void *vtable;
  std::span<Method> methods;  // bound into the class dict, in this order
  Method *reduce;             // installed as __reduce__ by the pickling set-up
  Method *setstate;           // installed as __setstate__
};

// The FunctionSpec of the class's Python-visible function `name`.
const pyrt::FunctionSpec &spec_of(const ClassDef &c, const char *name);

// Readies the class, exports its table as `__pyx_vtable__`, sets it as a
// module attribute and runs the pickling set-up.
// The type slots each class sets; the rest are the same for all four:
// static, garbage-collected, subclassable from Python.
struct TypeSlots {
  const char *name;
  Py_ssize_t basicsize;
  destructor dealloc;
  traverseproc traverse;
  inquiry clear;
  newfunc new_;
  destructor finalize = nullptr;
  initproc init = nullptr;
  const char *doc = nullptr;
};

// Fills `type` on the first call; later calls leave it as it is.
void fill_type(PyTypeObject &type, const TypeSlots &slots) noexcept;

void init_class(ClassDef &c);

// Makes the code objects of the class's functions.
void make_codes(std::span<Method> methods);

// Binds the class's Python-visible functions into its dict.
void bind_methods(const ClassDef &c);

pyrt::Ref make_method_function(Method &m);

// For C-level entries called with the override flag 0: calls the Python
// subclass's override of `name` with `args` if there is one and returns
// its result; null when the entry's own body should run.
pyrt::Ref call_override(PyObject *self, const char *name, const pyrt::FunctionSpec &own,
                        std::initializer_list<PyObject *> args);

// Allocates an instance: table pointer stored, object fields None.
template <class T>
pyrt::Ref alloc_instance(PyTypeObject *type, void *vtable,
                         std::initializer_list<PyObject * T::*> fields) {
  pyrt::Ref self = pyrt::Ref::steal(type->tp_alloc(type, 0));
  if (!self) throw pyrt::PyErrSet{};
  T *o = reinterpret_cast<T *>(self.get());
  o->vtab = static_cast<decltype(o->vtab)>(vtable);
  for (PyObject *T::*f : fields) o->*f = pyrt::Ref::borrow(Py_None).release();
  return self;
}

// The pickling refusal of the dispatchers ("__reduce__", "__setstate__").
extern const pyrt::Signature kReduceSig;
extern const pyrt::Signature kSetstateSig;
pyrt::Ref refuse_pickle(PyObject *self, pyrt::BoundArgs &);

// SPSCQueue(**kwargs), keywords in the given order.
struct QueueArg {
  const char *name;
  pyrt::Ref value;
};
pyrt::Ref make_queue(std::initializer_list<QueueArg> kwargs);

pyrt::Ref size_obj(std::size_t v);
pyrt::Ref bool_obj(bool v);

}  // namespace vestrel::corvane
