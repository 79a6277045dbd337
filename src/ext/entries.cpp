// Entry bodies: bind, convert, call one pipeline, build the result.
#include "entries.hpp"

#include <fmt/format.h>

#include <array>

#include "bids_entry.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "options.hpp"
#include "quorvex/pipeline.hpp"
#include "quorvex/report.hpp"
#include "signatures.hpp"
#include "subject.hpp"
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

PyObject* report_str(const core::Report& report) {
  return to_str(core::to_json(report, core::json::Layout::Compact));
}

PyObject* audit(const Signature& /*signature*/, const Arguments& args) {
  auto subject = prepare_subject(args, ImageUse::Optional);
  if (!subject) return nullptr;
  auto report = core::pipeline::audit(
      subject->table.table, subject->image ? &*subject->image : nullptr, subject->mask_or_null(),
      std::move(subject->table.inputs), subject->options);
  if (!report) return raise_error(report.error());
  return report_str(*report);
}

PyObject* detect_flip(const Signature& /*signature*/, const Arguments& args) {
  auto subject = prepare_subject(args, ImageUse::Required);
  if (!subject) return nullptr;
  auto report =
      core::pipeline::detect(subject->table.table, *subject->image, subject->mask_or_null(),
                             std::move(subject->table.inputs), subject->options);
  if (!report) return raise_error(report.error());
  return report_str(*report);
}

double seconds(std::chrono::nanoseconds duration) {
  return std::chrono::duration<double>(duration).count();
}

// {"decompress", "convert", "fit", "coherence", "other", "total"} in seconds.
PyObject* timing_dict(const Subject& subject, const core::pipeline::AuditRun& run,
                      std::chrono::steady_clock::time_point end) {
  const double total = std::max(seconds(end - subject.start), 0.0);
  const std::array<std::pair<const char*, double>, 6> items{{
      {"decompress", seconds(subject.decompress)},
      {"convert", seconds(subject.convert)},
      {"fit", seconds(run.fit)},
      {"coherence", seconds(run.coherence)},
      {"other", std::max(total - seconds(subject.decompress) - seconds(subject.convert) -
                             seconds(run.fit) - seconds(run.coherence),
                         0.0)},
      {"total", total},
  }};
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  for (const auto& [key, value] : items) {
    PyObject* number = PyFloat_FromDouble(value);
    if (number == nullptr || PyDict_SetItemString(dict, key, number) < 0) {
      Py_XDECREF(number);
      Py_DECREF(dict);
      return nullptr;
    }
    Py_DECREF(number);
  }
  return dict;
}

PyObject* audit_profiled(const Signature& /*signature*/, const Arguments& args) {
  auto subject = prepare_subject(args, ImageUse::Timed);
  if (!subject) return nullptr;
  auto run = core::pipeline::audit_timed_with_glyphs(
      subject->table.table, *subject->image, subject->mask_or_null(),
      std::move(subject->table.inputs), subject->options);
  const auto end = std::chrono::steady_clock::now();
  if (!run) return raise_error(run.error());
  PyObject* timings = timing_dict(*subject, *run, end);
  if (timings == nullptr) return nullptr;
  PyObject* text = report_str(run->report);
  if (text == nullptr) {
    Py_DECREF(timings);
    return nullptr;
  }
  PyObject* pair = PyTuple_Pack(2, text, timings);
  Py_DECREF(text);
  Py_DECREF(timings);
  return pair;
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
    {"audit_profiled", fast_call<s::audit_profiled, audit_profiled>(), fast_flags,
     &s::audit_profiled},
    {"audit_profiled_with_glyphs", fast_call<s::audit_profiled_with_glyphs, not_yet_available>(),
     fast_flags, &s::audit_profiled_with_glyphs},
    {"audit_bids", fast_call<s::audit_bids, audit_bids>(), fast_flags, &s::audit_bids},
    {"detect_flip", fast_call<s::detect_flip, detect_flip>(), fast_flags, &s::detect_flip},
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
