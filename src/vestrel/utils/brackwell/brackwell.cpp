// vestrel.utils.brackwell.brackwell: loading this file starts the platform
// socket library for the process, unloading it stops the library again. The
// module itself has no content.

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "platform/socklib.hpp"
#include "pyrt/error.hpp"
#include "pyrt/module_guard.hpp"

#ifdef _MSC_VER
// Run this file's static initialisers before user-level ones, as init_priority
// does below.
#pragma init_seg(lib)
#define VESTREL_EARLY_INIT
#else
#define VESTREL_EARLY_INIT __attribute__((init_priority(101)))
#endif

namespace {

using vestrel::pyrt::check;
using vestrel::pyrt::ModuleGuard;
using vestrel::pyrt::Ref;

// Start-up guard, one per loaded copy of this file. Atomic so acquisitions
// and releases stay balanced whichever thread makes them.
std::atomic<std::int32_t> socklib_users{0};
// Result of the last start-up. A failed start-up must not fail the import, so
// this is only kept for whoever inspects the process.
std::atomic<std::int32_t> socklib_status{0};

void release_socklib() noexcept {
  if (socklib_users.fetch_sub(1) == 1) vestrel::platform::socklib_cleanup();
}

struct LoadTimeStartup {
  LoadTimeStartup() noexcept {
    // Registered before anything else of this file, with the file's own exit
    // list: it runs last when the file is unloaded (in practice at exit).
    if (std::atexit(release_socklib) != 0) return;  // could never balance it
    if (socklib_users.fetch_add(1) == 0)
      socklib_status.exchange(vestrel::platform::socklib_startup());
  }
};

VESTREL_EARLY_INIT LoadTimeStartup load_time_startup;

constinit ModuleGuard guard{"brackwell", "vestrel.utils.brackwell.brackwell"};

PyObject *create(PyObject *spec, PyModuleDef *) noexcept {
  return guard.create(spec);
}

int exec(PyObject *module) noexcept {
  return guard.exec(module, [](ModuleGuard &g) {
    g.at(__FILE__, __LINE__);
    g.publish();
    g.at(__FILE__, __LINE__);
    Ref test = check(PyDict_New());
    check(PyDict_SetItemString(g.dict(), "__test__", test.get()));
  });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(&create)},
    {Py_mod_exec, reinterpret_cast<void *>(&exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "brackwell",  // m_name
    nullptr,      // m_doc
    0,            // m_size: all state is process-global
    nullptr,      // m_methods
    slots,
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit_brackwell() {
  return PyModuleDef_Init(&module_def);
}
