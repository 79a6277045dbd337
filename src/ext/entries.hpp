// The module's functions, one per entry in the function table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

#include "binder.hpp"

namespace quorvex_ext {

/// One row of the module's function table.
struct Function {
  const char* name;
  PyCFunction function;
  int flags;
  /// Nothing for the no-argument functions.
  Signature* signature;
};

/// All thirteen functions, in the order they are added to the module and to `__all__`.
[[nodiscard]] std::span<const Function> functions();

}  // namespace quorvex_ext
