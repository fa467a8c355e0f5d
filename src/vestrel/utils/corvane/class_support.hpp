// What the four classes share: field handling for their type slots, the type
// and its exported method table, construction, the pickling set-up, and the
// override dispatch of their C-level entries.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <span>
#include <string>
#include <utility>

#include "pyrt/args.hpp"
#include "pyrt/error.hpp"
#include "pyrt/function.hpp"
#include "pyrt/ref.hpp"
#include "state.hpp"
#include "vestrel/corvane.h"

namespace vestrel::corvane {

// Replaces an object field's reference (type slots and constructors only).
inline void set_field(PyObject *&field, pyrt::Ref value) noexcept {
  pyrt::Ref old = pyrt::Ref::steal(field);
  field = value.release();
}

// A class's object fields, in layout order: traversal visits them, clearing
// sets them to None (after allocation and after a cycle clear, fields read
// None, never null), deallocation drops them.
template <class Self, PyObject *Self::*...Fields>
struct ObjectFields {
  static int traverse(PyObject *o, visitproc visit, void *arg) noexcept {
    Self *self = reinterpret_cast<Self *>(o);
    int r = 0;
    ((r = r ? r : (self->*Fields ? visit(self->*Fields, arg) : 0)), ...);
    return r;
  }
  static void reset(Self *self) noexcept {
    (set_field(self->*Fields, pyrt::Ref::borrow(Py_None)), ...);
  }
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

// A class's constructor (`__cinit__` of the dispatchers, run by tp_new;
// `__init__` of AsyncQueue, run by tp_init): its parameters and its body,
// which receives them bound.
struct Constructor {
  const pyrt::Signature *sig;
  void (*body)(PyObject *self, pyrt::BoundArgs &args);
  int line;
};

// The pickling refusal of the dispatchers.
pyrt::Ref refuse_pickle(PyObject *self, pyrt::BoundArgs &);
extern const pyrt::Signature kReduceSig;
extern const pyrt::Signature kSetstateSig;
Method refused_reduce();
Method refused_setstate();

// The type slots each class sets; the rest are the same for all four:
// static, garbage-collected, subclassable from Python, named
// "<module>.<short name>".
struct TypeSlots {
  Py_ssize_t basicsize;
  destructor dealloc;
  traverseproc traverse;
  newfunc new_;
  inquiry clear = nullptr;  // the class's reset_fields unless given
  destructor finalize = nullptr;
  initproc init = nullptr;
  const char *doc = nullptr;
};

struct ClassDef {
  const char *short_name;
  const char *file;  // source_path(__FILE__) of the file that defines the class
  PyTypeObject *type;
  void *vtable;                      // exported as __pyx_vtable__, stored in every instance
  inquiry reset_fields;              // ObjectFields::clear
  Constructor constructor;           // null body: none
  std::span<Method> methods;         // bound into the class dict, in this order
  Method reduce = refused_reduce();  // installed as __reduce__ by the pickling set-up
  Method setstate = refused_setstate();
  TypeSlots slots;
  std::string full_name{};  // the type's name, kept for the process
};

// The FunctionSpec of the class's Python-visible function `name`.
const pyrt::FunctionSpec &spec_of(const ClassDef &c, const char *name);

// Allocates an instance (table pointer stored, object fields None) and runs
// the class's constructor on it: tp_new of the dispatchers.
PyObject *new_instance(const ClassDef &c, PyTypeObject *type, PyObject *args,
                       PyObject *kwds) noexcept;
// Allocates a blank instance only: tp_new of AsyncQueue, whose unpickling
// starts from one.
PyObject *new_blank_instance(const ClassDef &c, PyTypeObject *type) noexcept;
// Runs the class's constructor: tp_init of AsyncQueue.
int init_instance(const ClassDef &c, PyObject *self, PyObject *args, PyObject *kwds) noexcept;

template <ClassDef &C>
PyObject *class_new(PyTypeObject *type, PyObject *args, PyObject *kwds) noexcept {
  return new_instance(C, type, args, kwds);
}
template <ClassDef &C>
PyObject *class_new_blank(PyTypeObject *type, PyObject *, PyObject *) noexcept {
  return new_blank_instance(C, type);
}
template <ClassDef &C>
int class_init(PyObject *self, PyObject *args, PyObject *kwds) noexcept {
  return init_instance(C, self, args, kwds);
}

// Names the class's functions (see Method) and makes their code objects.
void prepare_class(ClassDef &c);
// The same for functions outside a class (`class_name` null) or local to one.
// `file` is where they are defined, unless a method names its own.
void prepare_methods(std::span<Method> methods, const char *class_name, PyTypeObject *owner,
                     const char *file);

// Fills and readies the class's type, exports its table as
// `__pyx_vtable__`, sets it as a module attribute and runs the pickling
// set-up.
void init_class(ClassDef &c);

// Binds the class's Python-visible functions into its dict.
void bind_methods(const ClassDef &c);

pyrt::Ref make_method_function(const Method &m);

// For C-level entries called with the override flag 0: calls the Python
// subclass's override of `name` with `args` if there is one and returns
// its result; null when the entry's own body should run.
pyrt::Ref call_override(PyObject *self, const char *name, const pyrt::FunctionSpec &own,
                        std::initializer_list<PyObject *> args);

// Whether a Python subclass replaced the class's function `name` on `self`.
bool overridden(const ClassDef &c, PyObject *self, const char *name);

// An entry's override check and body in one: with the flag 0, a Python
// subclass's method `name` of `c` runs with `args` instead of `body`.
// Errors are left set for the caller, as the table's entries report them.
template <class F>
void run_entry(const ClassDef &c, PyObject *self, int override_flag, const char *name,
               std::initializer_list<PyObject *> args, F &&body) noexcept {
  pyrt::guarded(0, [&] {
    if (override_flag == 0 && call_override(self, name, spec_of(c, name), args)) return 0;
    body();
    return 0;
  });
}

// The Python methods that are thin bindings over a table entry: they run
// the entry's own body (override flag 1) and raise what it left set.
template <class Self, auto Entry>
pyrt::Ref entry_method(PyObject *o, pyrt::BoundArgs &) {
  Self *self = reinterpret_cast<Self *>(o);
  (self->vtab->*Entry)(self, 1);
  if (PyErr_Occurred()) pyrt::throw_set();
  return pyrt::Ref::borrow(Py_None);
}

// setup(host='127.0.0.1') of AsyncDispatcher and SyncDispatcher.
template <class Self>
pyrt::Ref setup_method(PyObject *o, pyrt::BoundArgs &a) {
  Self *self = reinterpret_cast<Self *>(o);
  VestrelSetupOptArgs opt{a[0].given() ? 1 : 0, a[0].obj};
  self->vtab->setup(self, 1, &opt);
  if (PyErr_Occurred()) pyrt::throw_set();
  return pyrt::Ref::borrow(Py_None);
}

// SPSCQueue(**kwargs), keywords in the given order.
struct QueueArg {
  const char *name;
  pyrt::Ref value;
};
pyrt::Ref make_queue(std::initializer_list<QueueArg> kwargs);

pyrt::Ref size_obj(std::size_t v);
pyrt::Ref bool_obj(bool v);

}  // namespace vestrel::corvane
