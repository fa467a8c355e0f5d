#include "imports.hpp"

#include "error.hpp"

namespace vestrel::pyrt {

Ref import_type(const char *module_name, const char *class_name, std::size_t size) {
  Ref module = check(PyImport_ImportModule(module_name));
  Ref result = check(PyObject_GetAttrString(module.get(), class_name));
  if (!PyType_Check(result.get())) {
    PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, class_name);
    throw_set();
  }
  auto *type = reinterpret_cast<PyTypeObject *>(result.get());
  const Py_ssize_t basic = type->tp_basicsize;
  Py_ssize_t item = type->tp_itemsize;
  // A variable-size type always has room for at least one aligned item.
  if (item != 0 && item < 8) item = 8;
  const char *format =
      "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C "
      "header, got %zd from PyObject";
  if (static_cast<std::size_t>(basic + item) < size) {
    PyErr_Format(PyExc_ValueError, format, module_name, class_name, static_cast<Py_ssize_t>(size),
                 basic + item);
    throw_set();
  }
  if (static_cast<std::size_t>(basic) > size) {
    check(PyErr_WarnFormat(PyExc_RuntimeWarning, 0, format, module_name, class_name,
                           static_cast<Py_ssize_t>(size), basic));
  }
  return result;
}

void *import_vtable(PyTypeObject *type) {
  Ref key = check(PyUnicode_FromString("__pyx_vtable__"));
  Ref capsule = check(PyObject_GetItem(type->tp_dict, key.get()));  // KeyError when missing
  void *table = PyCapsule_GetPointer(capsule.get(), nullptr);
  if (!table) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_RuntimeError, "invalid vtable found for imported type");
    throw_set();
  }
  return table;
}

void *import_function(PyObject *module, const char *name, const char *signature) {
  const char *module_name = PyModule_GetName(module);
  if (!module_name) throw_set();
  Ref capi = check(PyObject_GetAttrString(module, "__pyx_capi__"));  // AttributeError
  PyObject *capsule = PyDict_Check(capi.get()) ? PyDict_GetItemString(capi.get(), name) : nullptr;
  if (!capsule) {
    PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %.8s %.200s", module_name,
                 "function", name);
    throw_set();
  }
  if (!PyCapsule_IsValid(capsule, signature)) {
    // Name what was found even when it is no capsule or has no name, rather
    // than formatting a null.
    const char *got = Py_TYPE(capsule)->tp_name;
    if (PyCapsule_CheckExact(capsule)) {
      got = PyCapsule_GetName(capsule);
      if (!got) got = "NULL";
    }
    PyErr_Format(PyExc_TypeError,
                 "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                 "function", module_name, name, signature, got);
    throw_set();
  }
  return PyCapsule_GetPointer(capsule, signature);
}

}  // namespace vestrel::pyrt
