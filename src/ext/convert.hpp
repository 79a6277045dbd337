// Conversions between Python objects and the core's values.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "binder.hpp"

namespace quorvex_ext {

/// Converts one bound argument by its parameter's kind into `out`. False with an exception set
/// when the value is refused; a refusal that is a TypeError names the parameter.
[[nodiscard]] bool convert(const Param& param, PyObject* object, Arguments::Value& out);

/// A new `str` from UTF-8 text produced by the core (JSON documents).
[[nodiscard]] PyObject* to_str(std::string_view utf8);

}  // namespace quorvex_ext
