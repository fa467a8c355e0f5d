# The converters are C functions for native callers; Python sees only their
# capsules. Each capsule is named by the function's C signature:
#   obj_to_cbuf  "int (PyObject *, PyObject **, char const **, size_t *)"
#   buf_to_cbuf  "int (PyObject *, Py_buffer *, char const **, size_t *)"
#   str_to_cbuf  "int (PyObject *, char const **, size_t *)"

__pyx_capi__: dict[str, object]
