// The call boundary: core errors and memory exhaustion become ValueError, internal faults become
// PanicException, and no C++ exception ever reaches the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string_view>

#include "quorvex/error.hpp"

namespace quorvex_ext {

/// Sets ValueError with the error's display text; returns nullptr for the caller to return.
PyObject* raise_error(const quorvex_core::Error& error) noexcept;

/// Sets ValueError with a message of this layer's own.
PyObject* raise_value_error(std::string_view message) noexcept;

/// Sets ValueError("out of memory: …") for a call that exhausted the memory it may use.
PyObject* raise_out_of_memory() noexcept;

/// Sets PanicException (a BaseException, created on first use) carrying `message`. Aborts the
/// process if even that is impossible.
PyObject* raise_panic(std::string_view message) noexcept;

/// Runs an entry body; a C++ exception escaping it is an internal fault, raised as
/// PanicException.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    // Everything the call allocated has been released by now, so the process goes on.
    return raise_out_of_memory();
  } catch (const std::exception& fault) {
    return raise_panic(fault.what());
  } catch (...) {
    return raise_panic("unknown internal fault");
  }
}

}  // namespace quorvex_ext
