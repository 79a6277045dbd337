// The parameter kinds and defaults that several functions' tables share, so one option has one
// default in both extension modules.
#pragma once

#include <array>
#include <cstddef>
#include <utility>

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

/// The parameters of a single-subject image entry, shared by the public functions and the
/// private module's confirmed twins.
inline constexpr std::array image_audit_params{
    required_path("dwi"),  optional_path("bvec"),    optional_path("bval"),
    optional_path("grad"), optional_path("mask"),    tolerance,
    b0_threshold,          optional_number("shell"), optional_number("step"),
    flag("strict"),        norm_tolerance,
};
inline constexpr std::array detect_flip_params{
    required_path("dwi"),  optional_path("bvec"),    optional_path("bval"),
    optional_path("grad"), optional_path("mask"),    tolerance,
    b0_threshold,          optional_number("shell"), optional_number("step"),
};
inline constexpr std::array repair_params{
    required_path("dwi"),
    required_path("out_bvec"),
    required_path("out_bval"),
    optional_path("bvec"),
    optional_path("bval"),
    optional_path("grad"),
    optional_path("mask"),
    optional_path("out_grad"),
    optional_path("provenance"),
    tolerance,
    b0_threshold,
    optional_number("shell"),
    optional_number("step"),
    flag("dry_run"),
    flag("in_place"),
    flag("strict"),
    flag("force_repair"),
    norm_tolerance,
};

/// `table` with `last` appended: a twin's parameters beyond its public function's.
template <std::size_t N, std::size_t... I>
constexpr std::array<Param, N + 1> appended(const std::array<Param, N>& table, Param last,
                                            std::index_sequence<I...> /*unused*/) {
  return {table[I]..., last};
}
template <std::size_t N>
constexpr std::array<Param, N + 1> appended(const std::array<Param, N>& table, Param last) {
  return appended(table, last, std::make_index_sequence<N>{});
}

}  // namespace quorvex_ext::params
