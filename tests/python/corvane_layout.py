"""ctypes mirror of vestrel/corvane.h, checked against the header itself by
test_corvane_module (when a C compiler is at hand) and against the classes'
instance sizes."""

import ctypes

P = ctypes.c_void_p


class SockAddrIn(ctypes.Structure):
    _fields_ = [("family", ctypes.c_uint16), ("port", ctypes.c_uint16),
                ("addr", ctypes.c_uint32), ("zero", ctypes.c_ubyte * 8)]


class NativeThread(ctypes.Structure):
    _fields_ = [("handle", ctypes.c_uint64), ("id", ctypes.c_uint64)]


HEAD = [("ob_refcnt", ctypes.c_ssize_t), ("ob_type", P), ("vtab", P)]

LAYOUTS = {
    "AsyncDispatcher": HEAD + [
        ("_q", P), ("_fd", ctypes.c_uint64), ("_addr", SockAddrIn), ("_push_fn", P),
        ("_pop_fn", P), ("_callback", P), ("_sock", P), ("_task", P), ("_private", P)],
    "SyncDispatcher": HEAD + [
        ("_q", P), ("_fd", ctypes.c_uint64), ("_addr", SockAddrIn), ("_daemon", ctypes.c_int),
        ("_variable_size", ctypes.c_int), ("_push_fn", P), ("_callback", P), ("_sock", P),
        ("_private", P)],
    "ThreadedDispatcher": HEAD + [
        ("_q", P), ("_thread", NativeThread), ("_callback", P),
        ("_variable_size", ctypes.c_int), ("_push_fn", P), ("_private", P)],
    "AsyncQueue": HEAD + [
        ("_q", P), ("_loop", P), ("_callback", P), ("_lock", P), ("_notify_cond", P),
        ("_task", P)],
}

STRUCTS = {name: type(name, (ctypes.Structure,), {"_fields_": fields})
           for name, fields in LAYOUTS.items()}

# Method tables, slot order as in the header.
VTABLES = {
    "AsyncDispatcher": ["setup", "push", "push_var", "_try_pop", "_try_pop_var", "try_push",
                        "try_push_var"],
    "SyncDispatcher": ["setup", "push", "push_var", "_try_pop", "_try_pop_var",
                       "private_try_pop", "private_try_pop_var", "close", "try_push",
                       "try_push_var"],
    "ThreadedDispatcher": ["push", "push_var", "_reader", "_reader_var", "setup", "close",
                           "try_push", "try_push_var"],
    "AsyncQueue": ["start_dispatcher"],
}

OBJECT_FIELDS = {name: [f for f, t in fields[3:]
                        if t is P and not f.endswith("_fn") and f != "_private"]
                 for name, fields in LAYOUTS.items()}


def view(obj):
    """The instance's fields, read in place."""
    for cls in type(obj).__mro__:
        if cls.__name__ in STRUCTS and cls.__module__ == "vestrel.utils.corvane.corvane":
            return STRUCTS[cls.__name__].from_address(id(obj))
    raise TypeError(type(obj))


def field(obj, name):
    """An object field as the object it points to (None for a null pointer)."""
    p = getattr(view(obj), name)
    return None if p is None else ctypes.cast(p, ctypes.py_object).value


def capsule_pointer(capsule):
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    return get(capsule, None)


def capsule_name(capsule):
    get = ctypes.pythonapi.PyCapsule_GetName
    get.restype, get.argtypes = ctypes.c_char_p, [ctypes.py_object]
    return get(capsule)


def vtable(cls):
    """The exported table as a list of slot addresses."""
    slots = VTABLES[cls.__name__]
    return list((P * len(slots)).from_address(capsule_pointer(cls.__dict__["__pyx_vtable__"])))
