// The module's functions, one per entry in the function table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

#include "module_table.hpp"

namespace quorvex_ext {

/// All thirteen functions, in the order they are added to the module and to `__all__`.
[[nodiscard]] std::span<const Function> functions();

}  // namespace quorvex_ext
