// Entry bodies: bind, convert, call one pipeline, build the result.
#include "entries.hpp"

#include <fmt/format.h>

#include <array>

#include "boundary.hpp"
#include "convert.hpp"
#include "options.hpp"
#include "quorvex/pipeline.hpp"
#include "quorvex/report.hpp"
#include "signatures.hpp"
#include "table_args.hpp"

namespace quorvex_ext {
namespace {

namespace core = quorvex_core;

using Body = PyObject* (*)(const Signature&, const Arguments&);

// Every fast-call entry has this shape: bind, then the body, all inside the boundary.
template <Signature& S, Body B>
PyObject* entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    const auto bound = bind(S, args, nargs, kwnames);
    if (!bound) return nullptr;
    return B(S, *bound);
  });
}

template <Signature& S, Body B>
PyCFunction fast_call() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<S, B>));
}

// For operations whose pipeline has not landed: arguments are bound and converted exactly as
// they will be, and then the call says plainly that nothing was done.
PyObject* not_yet_available(const Signature& signature, const Arguments& /*args*/) {
  PyErr_Format(PyExc_NotImplementedError, "%s() is not available in this build yet",
               signature.name);
  return nullptr;
}

// The table alone: scheme report and scheme rules.
PyObject* scheme_audit(const Arguments& args) {
  auto loaded = load_table(args);
  if (!loaded) return nullptr;
  auto report = core::pipeline::scheme_audit(loaded->table, std::move(loaded->inputs),
                                             pipeline_options(args));
  if (!report) return raise_error(report.error());
  return to_str(core::to_json(*report, core::json::Layout::Compact));
}

PyObject* inspect(const Signature& /*signature*/, const Arguments& args) {
  return scheme_audit(args);
}

PyObject* audit(const Signature& /*signature*/, const Arguments& args) {
  if (args.path("dwi") || args.path("mask")) {
    PyErr_SetString(PyExc_NotImplementedError,
                    "audit() with an image or a mask is not available in this build yet");
    return nullptr;
  }
  return scheme_audit(args);
}

PyObject* version(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
  return guarded([] { return to_str(core::tool_version); });
}

PyObject* build_features(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
  return guarded([] { return PyList_New(0); });
}

constexpr int fast_flags = METH_FASTCALL | METH_KEYWORDS;

PyCFunction no_args(PyObject* (*f)(PyObject*, PyObject*) noexcept) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

namespace s = signatures;

const std::array<Function, 13> table{{
    {"version", no_args(&version), METH_NOARGS, nullptr},
    {"build_features", no_args(&build_features), METH_NOARGS, nullptr},
    {"inspect", fast_call<s::inspect, inspect>(), fast_flags, &s::inspect},
    {"audit", fast_call<s::audit, audit>(), fast_flags, &s::audit},
    {"audit_with_glyphs", fast_call<s::audit_with_glyphs, not_yet_available>(), fast_flags,
     &s::audit_with_glyphs},
    {"audit_profiled", fast_call<s::audit_profiled, not_yet_available>(), fast_flags,
     &s::audit_profiled},
    {"audit_profiled_with_glyphs", fast_call<s::audit_profiled_with_glyphs, not_yet_available>(),
     fast_flags, &s::audit_profiled_with_glyphs},
    {"audit_bids", fast_call<s::audit_bids, not_yet_available>(), fast_flags, &s::audit_bids},
    {"detect_flip", fast_call<s::detect_flip, not_yet_available>(), fast_flags, &s::detect_flip},
    {"detect_flip_with_glyphs", fast_call<s::detect_flip_with_glyphs, not_yet_available>(),
     fast_flags, &s::detect_flip_with_glyphs},
    {"repair", fast_call<s::repair, not_yet_available>(), fast_flags, &s::repair},
    {"repair_with_glyphs", fast_call<s::repair_with_glyphs, not_yet_available>(), fast_flags,
     &s::repair_with_glyphs},
    {"recompute_bval", fast_call<s::recompute_bval, not_yet_available>(), fast_flags,
     &s::recompute_bval},
}};

}  // namespace

std::span<const Function> functions() {
  return table;
}

}  // namespace quorvex_ext
