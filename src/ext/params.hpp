// The parameter kinds and defaults that several functions' tables share, so one option has one
// default in both extension modules.
#pragma once

#include "binder.hpp"
#include "quorvex/gradient.hpp"
#include "quorvex/shell.hpp"

namespace quorvex_ext::params {

constexpr Param optional_path(const char* name) {
  return {name, ParamKind::Path, "None"};
}
constexpr Param required_path(const char* name) {
  return {name, ParamKind::Path};
}
constexpr Param flag(const char* name) {
  return {name, ParamKind::Flag, "False", 0.0};
}
constexpr Param optional_number(const char* name) {
  return {name, ParamKind::OptionalNumber, "None"};
}
constexpr Param required_number(const char* name) {
  return {name, ParamKind::Number};
}
constexpr Param required_object(const char* name) {
  return {name, ParamKind::Object};
}

// The values are the core's; the texts are what the signatures print, and the stub test holds
// both to the stubs (a report echoes the values the call used).
inline constexpr Param tolerance{"tolerance", ParamKind::Number, "0.05",
                                 quorvex_core::default_shell_tolerance};
inline constexpr Param b0_threshold{"b0_threshold", ParamKind::Number, "50.0",
                                    quorvex_core::default_b0_threshold};
inline constexpr Param norm_tolerance{"norm_tolerance", ParamKind::Number, "0.05",
                                      quorvex_core::default_norm_tolerance};

}  // namespace quorvex_ext::params
