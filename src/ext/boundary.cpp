// Error translation in one place.
#include "boundary.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "convert.hpp"

namespace quorvex_ext {
namespace {

constexpr const char* panic_doc =
    "An internal fault of the quorvex core stopped the call.\n\n"
    "Derived from BaseException, like SystemExit, so that a handler for Exception does not\n"
    "swallow a broken invariant.";

[[noreturn]] void abort_at_boundary() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::abort();
}

PyObject* panic_type() noexcept {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc, PyExc_BaseException,
                                     nullptr);
  }
  return type;
}

}  // namespace

PyObject* raise_value_error(std::string_view message) noexcept {
  PyObject* text = to_str(message);
  if (text == nullptr) return nullptr;
  PyErr_SetObject(PyExc_ValueError, text);
  Py_DECREF(text);
  return nullptr;
}

PyObject* raise_error(const quorvex_core::Error& error) noexcept {
  // A call stopped by the interrupt check already carries the exception a signal handler raised
  // (KeyboardInterrupt for Ctrl-C); that one is what the caller must see.
  if (PyErr_Occurred() != nullptr) return nullptr;
  try {
    return raise_value_error(error.display());
  } catch (...) {
    // Displaying a well-formed error cannot fail short of memory exhaustion.
    return raise_out_of_memory();
  }
}

PyObject* raise_out_of_memory() noexcept {
  return raise_value_error("out of memory: the call needed more memory than this process may use");
}

PyObject* raise_panic(std::string_view message) noexcept {
  PyObject* type = panic_type();
  PyObject* text = type == nullptr ? nullptr : to_str(message);
  if (text == nullptr) abort_at_boundary();
  PyErr_SetObject(type, text);
  Py_DECREF(text);
  return nullptr;
}

}  // namespace quorvex_ext
