// The _quorvex module: its function table, where every entry binds its arguments and runs its
// body inside the call boundary, made into the module object.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <fmt/format.h>

#include <array>

#include "boundary.hpp"
#include "convert.hpp"
#include "entry_bodies.hpp"
#include "module_table.hpp"
#include "quorvex/documents/report.hpp"
#include "quorvex/interrupt.hpp"
#include "signatures.hpp"

namespace quorvex_ext {
namespace {

namespace core = quorvex_core;

PyObject* version(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
  return guarded([] { return to_str(core::tool_version); });
}

PyObject* build_features(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
  return guarded([] { return PyList_New(0); });
}

namespace s = signatures;

const std::array<Function, 13> table{{
    {"version", no_args(&version), METH_NOARGS, nullptr},
    {"build_features", no_args(&build_features), METH_NOARGS, nullptr},
    {"inspect", fast_call<s::inspect, bodies::inspect>(), fast_flags, &s::inspect},
    {"audit", fast_call<s::audit, interruptible<bodies::audit>>(), fast_flags, &s::audit},
    {"audit_with_glyphs",
     fast_call<s::audit_with_glyphs, interruptible<bodies::audit_with_glyphs>>(), fast_flags,
     &s::audit_with_glyphs},
    {"audit_profiled", fast_call<s::audit_profiled, interruptible<bodies::audit_profiled>>(),
     fast_flags, &s::audit_profiled},
    {"audit_profiled_with_glyphs",
     fast_call<s::audit_profiled_with_glyphs, interruptible<bodies::audit_profiled_with_glyphs>>(),
     fast_flags, &s::audit_profiled_with_glyphs},
    {"audit_bids", fast_call<s::audit_bids, bodies::audit_bids>(), fast_flags, &s::audit_bids},
    {"detect_flip", fast_call<s::detect_flip, interruptible<bodies::detect_flip>>(), fast_flags,
     &s::detect_flip},
    {"detect_flip_with_glyphs",
     fast_call<s::detect_flip_with_glyphs, interruptible<bodies::detect_flip_with_glyphs>>(),
     fast_flags, &s::detect_flip_with_glyphs},
    {"repair", fast_call<s::repair, interruptible<bodies::repair>>(), fast_flags, &s::repair},
    {"repair_with_glyphs",
     fast_call<s::repair_with_glyphs, interruptible<bodies::repair_with_glyphs>>(), fast_flags,
     &s::repair_with_glyphs},
    {"recompute_bval", fast_call<s::recompute_bval, bodies::recompute_bval>(), fast_flags,
     &s::recompute_bval},
}};

ModuleDefinition& module_definition() {
  static ModuleDefinition the_module("_quorvex", table);
  return the_module;
}

}  // namespace
}  // namespace quorvex_ext

PyMODINIT_FUNC PyInit__quorvex() {
  return quorvex_ext::guarded(
      [] { return quorvex_ext::create_module(quorvex_ext::module_definition()); });
}
