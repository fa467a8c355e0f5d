#include "error.hpp"

#include "exit_unwind.hpp"

#include <ios>
#include <new>
#include <stdexcept>
#include <typeinfo>

namespace vestrel::pyrt {

void set_error_from_current_exception() noexcept {
  // The interpreter is ending this thread; it must not return (see
  // exit_unwind.hpp).
  if (caught_forced_unwind()) park_thread();
  try {
    throw;
  } catch (const PyErrSet &) {
    // The indicator is already set by the failing call.
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  } catch (const std::bad_alloc &e) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const std::bad_cast &e) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, e.what());
  } catch (const std::bad_typeid &e) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, e.what());
  } catch (const std::domain_error &e) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::invalid_argument &e) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::ios_base::failure &e) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_OSError, e.what());
  } catch (const std::out_of_range &e) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_IndexError, e.what());
  } catch (const std::overflow_error &e) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_OverflowError, e.what());
  } catch (const std::range_error &e) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ArithmeticError, e.what());
  } catch (const std::underflow_error &e) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ArithmeticError, e.what());
  } catch (const std::exception &e) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "Unknown exception");
  }
}

}  // namespace vestrel::pyrt
