// The confirmed-verdict entries of the private module.
#include "entry_bodies.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <utility>

#include "arguments.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "quorvex/documents/report.hpp"
#include "quorvex/pipeline_confirm.hpp"
#include "subject.hpp"

namespace quorvex_ext::bodies {
namespace {

namespace core = quorvex_core;

double seconds(std::chrono::nanoseconds duration) {
  return std::max(std::chrono::duration<double>(duration).count(), 0.0);
}

// A dict of the stage timings in seconds; nullptr with the exception set on failure.
PyObject* timing_dict(std::initializer_list<std::pair<const char*, double>> items) {
  PyObject* dict = PyDict_New();
  for (const auto& [key, value] : items) {
    if (dict == nullptr) break;
    PyObject* number = PyFloat_FromDouble(value);
    if (number == nullptr || PyDict_SetItemString(dict, key, number) < 0) Py_CLEAR(dict);
    Py_XDECREF(number);
  }
  return dict;
}

// A tuple taking over `items`; nullptr (all released) when one of them is missing.
PyObject* steal_tuple(std::initializer_list<PyObject*> items) {
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

PyObject* report_str(const core::Report& report) {
  return to_str(core::to_json(report, core::json::Layout::Compact));
}

}  // namespace

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
  const double total = seconds(end - subject->start);
  const double confirm = seconds(run->confirmation.elapsed);
  const double parts = seconds(subject->decompress) + seconds(subject->convert) +
                       seconds(run->run.fit) + seconds(run->run.coherence) + confirm;
  return steal_tuple({
      report_str(run->run.report),
      to_str(core::to_json(run->confirmation)),
      to_str(std::string(core::status_text(run->status))),
      timing_dict({{"decompress", seconds(subject->decompress)},
                   {"convert", seconds(subject->convert)},
                   {"fit", seconds(run->run.fit)},
                   {"coherence", seconds(run->run.coherence)},
                   {"confirm", confirm},
                   {"other", std::max(total - parts, 0.0)},
                   {"total", total}}),
  });
}

PyObject* repair_confirmed(const Arguments& args) {
  if (!refuse_aliased_outputs(args)) return nullptr;
  auto subject = prepare_subject(args, ImageUse::Required);
  if (!subject) return nullptr;
  const core::pipeline::RepairSpec spec{args.required_path("out_bvec"),
                                        args.required_path("out_bval"),
                                        args.path("out_grad"),
                                        args.path("provenance"),
                                        subject->frames,
                                        args.flag("dry_run"),
                                        args.flag("in_place"),
                                        args.flag("force_repair")};
  auto result = core::pipeline::repair_confirmed(
      subject->table.table, *subject->image, *subject->info, subject->mask_or_null(),
      std::move(subject->table.inputs), subject->options, spec);
  if (!result) return raise_error(result.error());
  return steal_tuple({
      report_str(result->output.report),
      to_str(core::to_json(result->confirmation)),
      to_str(std::string(core::status_text(result->status))),
  });
}

}  // namespace quorvex_ext::bodies
