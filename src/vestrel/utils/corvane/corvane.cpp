// vestrel.utils.corvane.corvane: module start-up. Builds the four classes
// with their exported method tables, binds the ring class and the buffer
// converters this module calls into, and binds the Python-visible functions.
// All state is process-global and written here only.
#include <Python.h>

#include <span>

#include "async_dispatcher.hpp"
#include "async_dispatcher_entries.hpp"
#include "async_queue.hpp"
#include "exit_hooks.hpp"
#include "pyrt/coroutine.hpp"
#include "pyrt/error.hpp"
#include "pyrt/function.hpp"
#include "pyrt/imports.hpp"
#include "pyrt/module_guard.hpp"
#include "ring/barrier.hpp"
#include "state.hpp"
#include "sync_dispatcher.hpp"
#include "threaded_dispatcher.hpp"
#include "vestrel/corvane.h"

namespace {

using vestrel::corvane::ClassDef;
using vestrel::corvane::state;
using vestrel::pyrt::check;
using vestrel::pyrt::ModuleGuard;
using vestrel::pyrt::Ref;

constinit ModuleGuard guard{"corvane", vestrel::corvane::kModuleName};
constexpr const char *kFile = vestrel::corvane::source_path(__FILE__);

constexpr char kRingModule[] = "vestrel.spsc_queue.spsc_queue";
constexpr char kConvertersModule[] = "vestrel.common";

struct Converter {
  const char *name;
  const char *signature;
  void **slot;
};

// Replaces a process-lifetime reference (a failed import may have left one).
void keep(PyObject *&slot, Ref value) {
  Ref old = Ref::steal(slot);
  slot = value.release();
}

void exec_steps(ModuleGuard &g) {
  // The guard has recorded the module, set __builtins__ and checked the
  // interpreter version. From here on a failure names the module's init.
  ClassDef *classes[] = {
      &vestrel::corvane::async_dispatcher_class(),
      &vestrel::corvane::sync_dispatcher_class(),
      &vestrel::corvane::threaded_dispatcher_class(),
      &vestrel::corvane::async_queue_class(),
  };
  state.dict = g.dict();
  state.builtins = g.builtins();

  g.at(kFile, __LINE__);
  vestrel::pyrt::ready_function_type();
  vestrel::pyrt::ready_coroutine_type();

  g.at(kFile, __LINE__);
  g.publish();

  g.at(kFile, __LINE__);
  keep(state.module_name, check(PyUnicode_FromString(vestrel::corvane::kModuleName)));
  keep(state.host_defaults, check(Py_BuildValue("(s)", "127.0.0.1")));

  g.at(kFile, __LINE__);
  for (ClassDef *c : classes) {
    vestrel::corvane::prepare_class(*c);
  }
  vestrel::corvane::prepare_methods(std::span(&vestrel::corvane::unpickle_function(), 1), nullptr,
                                    nullptr, nullptr);

  for (ClassDef *c : classes) {
    g.at(kFile, __LINE__);
    vestrel::corvane::init_class(*c);
  }

  g.at(kFile, __LINE__);
  Ref ring = vestrel::pyrt::import_type(kRingModule, "SPSCQueue", VESTREL_SPSC_QUEUE_BASICSIZE);
  g.at(kFile, __LINE__);
  state.spsc_vtable = static_cast<VestrelSPSCQueue_VTable *>(
      vestrel::pyrt::import_vtable(reinterpret_cast<PyTypeObject *>(ring.get())));
  keep(state.spsc_type, std::move(ring));

  g.at(kFile, __LINE__);
  Ref converters = check(PyImport_ImportModule(kConvertersModule));
  const Converter wanted[] = {
      {"obj_to_cbuf", "int (PyObject *, PyObject **, char const **, size_t *)",
       reinterpret_cast<void **>(&state.obj_to_cbuf)},
      {"buf_to_cbuf", "int (PyObject *, Py_buffer *, char const **, size_t *)",
       reinterpret_cast<void **>(&state.buf_to_cbuf)},
      {"str_to_cbuf", "int (PyObject *, char const **, size_t *)",
       reinterpret_cast<void **>(&state.str_to_cbuf)},
  };
  for (const Converter &c : wanted) {
    g.at(kFile, __LINE__);
    *c.slot = vestrel::pyrt::import_function(converters.get(), c.name, c.signature);
  }

  g.at(kFile, __LINE__);
  Ref asyncio = check(PyImport_ImportModule("asyncio"));
  check(PyDict_SetItemString(g.dict(), "asyncio", asyncio.get()));
  keep(state.condition_type, check(PyObject_GetAttrString(asyncio.get(), "Condition")));
  keep(state.lock_type, check(PyObject_GetAttrString(asyncio.get(), "Lock")));

  for (ClassDef *c : classes) {
    g.at(kFile, __LINE__);
    vestrel::corvane::bind_methods(*c);
  }

  g.at(kFile, __LINE__);
  vestrel::corvane::async::make_close_functions();

  g.at(kFile, __LINE__);
  Ref unpickle = vestrel::corvane::make_method_function(vestrel::corvane::unpickle_function());
  check(PyDict_SetItemString(g.dict(), "__pyx_unpickle_AsyncQueue", unpickle.get()));

  g.at(kFile, __LINE__);
  Ref test = check(PyDict_New());
  check(PyDict_SetItemString(g.dict(), "__test__", test.get()));

  g.at(kFile, __LINE__);
  vestrel::corvane::at_exit::install();
  vestrel::ring::barrier::init();  // the idle-wake handshake's barriers
}

PyObject *create(PyObject *spec, PyModuleDef *) noexcept {
  return guard.create(spec);
}

int exec(PyObject *module) noexcept {
  const int r = guard.exec(module, exec_steps);
  if (r != 0 && !guard.module()) {
    // A failed first execution: the guard has forgotten the module; so do
    // we. (A refused second one leaves the live module as it is.)
    state.dict = nullptr;
    state.builtins = nullptr;
  }
  return r;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(&create)},
    {Py_mod_exec, reinterpret_cast<void *>(&exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "corvane",  // m_name
    nullptr,    // m_doc
    0,          // m_size: all state is process-global
    nullptr,    // m_methods: everything is bound by exec
    slots,
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit_corvane() {
  return PyModuleDef_Init(&module_def);
}
