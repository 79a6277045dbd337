// Entries that audit, detect or repair one subject with its image, and their glyph twins. A
// twin shares every step with its plain entry and only also packs the detector's glyph data.
#include <algorithm>
#include <array>
#include <chrono>
#include <initializer_list>
#include <optional>
#include <vector>

#include "arguments.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "entry_bodies.hpp"
#include "glyph_payload.hpp"
#include "quorvex/documents/report.hpp"
#include "quorvex/pipeline.hpp"
#include "quorvex/pipeline_confirm.hpp"
#include "subject.hpp"

namespace quorvex_ext::bodies {
namespace {

namespace core = quorvex_core;
using core::pipeline::AuditRun;

PyObject* report_str(const core::Report& report) {
  return to_str(core::to_json(report, core::json::Layout::Compact));
}

// A tuple of new references, stolen; nullptr if any item is nullptr (the others released).
PyObject* tuple_of(std::initializer_list<PyObject*> items) {
  PyObject* tuple = nullptr;
  if (std::none_of(items.begin(), items.end(), [](PyObject* o) { return o == nullptr; })) {
    tuple = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
  }
  Py_ssize_t index = 0;
  for (PyObject* item : items) {
    if (tuple != nullptr) {
      PyTuple_SET_ITEM(tuple, index++, item);
    } else {
      Py_XDECREF(item);
    }
  }
  return tuple;
}

double seconds(std::chrono::nanoseconds duration) {
  return std::chrono::duration<double>(duration).count();
}

// {"decompress", "convert", "fit", "coherence"[, "confirm"], "other", "total"} in seconds; the
// confirmed verdict's stage only where it ran.
PyObject* timing_dict(const Subject& subject, const AuditRun& run,
                      std::chrono::steady_clock::time_point end,
                      std::optional<std::chrono::nanoseconds> confirm = std::nullopt) {
  const double total = std::max(seconds(end - subject.start), 0.0);
  const double confirmed = confirm ? seconds(*confirm) : 0.0;
  // The fit's share made while the image streamed in counts as fit, overlapped or not.
  const double fit = seconds(run.fit + subject.fit_streamed);
  const double parts = seconds(subject.decompress) + seconds(subject.convert) + fit +
                       seconds(run.coherence) + confirmed;
  std::vector<std::pair<const char*, double>> items{
      {"decompress", seconds(subject.decompress)},
      {"convert", seconds(subject.convert)},
      {"fit", fit},
      {"coherence", seconds(run.coherence)},
  };
  if (confirm) items.emplace_back("confirm", confirmed);
  items.emplace_back("other", std::max(total - parts, 0.0));
  items.emplace_back("total", total);
  PyObject* dict = PyDict_New();
  for (const auto& [key, value] : items) {
    if (dict == nullptr) break;
    PyObject* number = PyFloat_FromDouble(value);
    if (number == nullptr || PyDict_SetItemString(dict, key, number) < 0) Py_CLEAR(dict);
    Py_XDECREF(number);
  }
  return dict;
}

PyObject* audit_run(const Arguments& args, bool with_glyphs) {
  auto subject = prepare_subject(args, ImageUse::Required);
  if (!subject) return nullptr;
  auto run = core::pipeline::audit_timed_with_glyphs(
      subject->table.table, *subject->image, subject->mask_or_null(),
      std::move(subject->table.inputs), subject->options);
  if (!run) return raise_error(run.error());
  if (!with_glyphs) return report_str(run->report);
  PyObject* text = report_str(run->report);
  return tuple_of({text, text ? glyph_payload(run->glyphs, *subject->info) : nullptr});
}

PyObject* profiled(const Arguments& args, bool with_glyphs) {
  auto subject = prepare_subject(args, ImageUse::Timed);
  if (!subject) return nullptr;
  auto run = core::pipeline::audit_timed_with_glyphs(
      subject->table.table, *subject->image, subject->mask_or_null(),
      std::move(subject->table.inputs), subject->options);
  const auto end = std::chrono::steady_clock::now();
  if (!run) return raise_error(run.error());
  PyObject* text = report_str(run->report);
  PyObject* timings = text ? timing_dict(*subject, *run, end) : nullptr;
  if (!with_glyphs) return tuple_of({text, timings});
  return tuple_of({text, timings, timings ? glyph_payload(run->glyphs, *subject->info) : nullptr});
}

PyObject* detect_run(const Arguments& args, bool with_glyphs) {
  auto subject = prepare_subject(args, ImageUse::Required);
  if (!subject) return nullptr;
  auto run = core::pipeline::detect_with_glyphs(subject->table.table, *subject->image,
                                                subject->mask_or_null(),
                                                std::move(subject->table.inputs), subject->options);
  if (!run) return raise_error(run.error());
  PyObject* text = report_str(run->report);
  if (!with_glyphs) return text;
  return tuple_of({text, text ? glyph_payload(run->glyphs, *subject->info) : nullptr});
}

core::pipeline::RepairRequest repair_request(const Arguments& args, const Subject& subject) {
  return {args.required_path("out_bvec"),
          args.required_path("out_bval"),
          args.path("out_grad"),
          args.path("provenance"),
          subject.frames,
          args.flag("dry_run"),
          args.flag("in_place"),
          args.flag("force_repair")};
}

PyObject* repair_run(const Arguments& args, bool with_glyphs) {
  if (!refuse_aliased_outputs(args)) return nullptr;
  auto subject = prepare_subject(args, ImageUse::Required);
  if (!subject) return nullptr;
  auto result = core::pipeline::repair_with_glyphs(
      subject->table.table, *subject->image, subject->mask_or_null(),
      std::move(subject->table.inputs), subject->options, repair_request(args, *subject));
  if (!result) return raise_error(result.error());
  PyObject* text = report_str(result->first.report);
  if (!with_glyphs) return text;
  return tuple_of({text, text ? glyph_payload(result->second, *subject->info) : nullptr});
}

}  // namespace

PyObject* audit(const Arguments& args) {
  if (!args.path("dwi")) {
    // Without an image the audit is the scheme audit; a given mask is still read and checked.
    auto subject = prepare_subject(args, ImageUse::Optional);
    if (!subject) return nullptr;
    auto report = core::pipeline::audit(subject->table.table, nullptr, subject->mask_or_null(),
                                        std::move(subject->table.inputs), subject->options);
    if (!report) return raise_error(report.error());
    return report_str(*report);
  }
  return audit_run(args, false);
}

PyObject* audit_with_glyphs(const Arguments& args) {
  return audit_run(args, true);
}
PyObject* audit_profiled(const Arguments& args) {
  return profiled(args, false);
}
PyObject* audit_profiled_with_glyphs(const Arguments& args) {
  return profiled(args, true);
}
PyObject* detect_flip(const Arguments& args) {
  return detect_run(args, false);
}
PyObject* detect_flip_with_glyphs(const Arguments& args) {
  return detect_run(args, true);
}
PyObject* repair(const Arguments& args) {
  return repair_run(args, false);
}
PyObject* repair_with_glyphs(const Arguments& args) {
  return repair_run(args, true);
}

PyObject* confirm_flip(const Arguments& args) {
  auto subject = prepare_subject(args, ImageUse::Required);
  if (!subject) return nullptr;
  auto run = core::pipeline::audit_confirmed(
      subject->table.table, *subject->image, *subject->info, subject->mask_or_null(),
      std::move(subject->table.inputs), subject->options, true);
  if (!run) return raise_error(run.error());
  return to_str(core::to_json(run->confirmation));
}

PyObject* audit_confirmed(const Arguments& args) {
  auto subject = prepare_subject(args, ImageUse::Timed);
  if (!subject) return nullptr;
  auto run = core::pipeline::audit_confirmed(
      subject->table.table, *subject->image, *subject->info, subject->mask_or_null(),
      std::move(subject->table.inputs), subject->options, args.flag("detect_only"));
  const auto end = std::chrono::steady_clock::now();
  if (!run) return raise_error(run.error());
  return tuple_of({report_str(run->run.report), to_str(core::to_json(run->confirmation)),
                   to_str(core::status_text(run->status)),
                   timing_dict(*subject, run->run, end, run->confirmation.elapsed)});
}

PyObject* repair_confirmed(const Arguments& args) {
  if (!refuse_aliased_outputs(args)) return nullptr;
  auto subject = prepare_subject(args, ImageUse::Required);
  if (!subject) return nullptr;
  auto result = core::pipeline::repair_confirmed(
      subject->table.table, *subject->image, *subject->info, subject->mask_or_null(),
      std::move(subject->table.inputs), subject->options, repair_request(args, *subject));
  if (!result) return raise_error(result.error());
  return tuple_of({report_str(result->output.report), to_str(core::to_json(result->confirmation)),
                   to_str(core::status_text(result->status))});
}

}  // namespace quorvex_ext::bodies
