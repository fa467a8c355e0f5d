// Binding the native interfaces of other extension modules at import: a class
// whose instance layout we rely on, its C-level method table, and C functions
// exported as capsules in a module's `__pyx_capi__`.
#pragma once

#include <Python.h>

#include <cstddef>

#include "ref.hpp"

namespace vestrel::pyrt {

// `module_name`.`class_name`, checked to be a class whose instances are at
// least `size` bytes. A larger instance only warns: we read a prefix.
Ref import_type(const char *module_name, const char *class_name, std::size_t size);

// The table in the class's unnamed `__pyx_vtable__` capsule.
void *import_vtable(PyTypeObject *type);

// The function exported as `name` by `module` (an imported module object),
// whose capsule must be named `signature`.
void *import_function(PyObject *module, const char *name, const char *signature);

}  // namespace vestrel::pyrt
