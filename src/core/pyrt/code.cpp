#include "code.hpp"

#include <string>

#include "error.hpp"

namespace vestrel::pyrt {

// The interpreter builds the code object from a stub definition with the same
// parameter list; the constructors of code objects change with every release,
// compile() and code.replace() do not.
Ref make_code(const CodeSpec &spec) {
  std::string src = spec.coroutine ? "async def " : "def ";
  src += spec.name;
  src += '(';
  for (int i = 0; i < spec.nparams; ++i) {
    if (i) src += ", ";
    src += spec.params[i];
  }
  if (spec.varargs) {
    if (spec.nparams) src += ", ";
    src += '*';
    src += spec.varargs;
  }
  src += "):\n    pass\n";
  Ref module_code = check(Py_CompileString(src.c_str(), spec.file, Py_file_input));
  Ref consts = check(PyObject_GetAttrString(module_code.get(), "co_consts"));
  PyObject *stub = nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i)
    if (PyCode_Check(PyTuple_GET_ITEM(consts.get(), i))) stub = PyTuple_GET_ITEM(consts.get(), i);
  if (!stub) raise(PyExc_SystemError, "stub definition compiled without a code object");

  Ref replace = check(PyObject_GetAttrString(stub, "replace"));
  Ref kwargs = check(PyDict_New());
  Ref line = check(PyLong_FromLong(spec.firstline));
  check(PyDict_SetItemString(kwargs.get(), "co_firstlineno", line.get()));
#if PY_VERSION_HEX >= 0x030B0000
  Ref qualname = check(PyUnicode_FromString(spec.qualname));
  check(PyDict_SetItemString(kwargs.get(), "co_qualname", qualname.get()));
#endif
  Ref args = check(PyTuple_New(0));
  return check(PyObject_Call(replace.get(), args.get(), kwargs.get()));
}

}  // namespace vestrel::pyrt
