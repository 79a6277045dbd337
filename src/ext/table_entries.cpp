// Entries that work on a gradient table alone.
#include "arguments.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "entry_bodies.hpp"
#include "quorvex/documents/report.hpp"
#include "quorvex/pipeline.hpp"

namespace quorvex_ext::bodies {

namespace core = quorvex_core;

PyObject* inspect(const Arguments& args) {
  auto loaded = load_table(args);
  if (!loaded) return nullptr;
  auto report = core::pipeline::scheme_audit(loaded->table, std::move(loaded->inputs),
                                             pipeline_options(args));
  if (!report) return raise_error(report.error());
  return to_str(core::to_json(*report, core::json::Layout::Compact));
}

PyObject* recompute_bval(const Arguments& args) {
  if (!refuse_aliased_outputs(args)) return nullptr;
  auto loaded = load_table(args);
  if (!loaded) return nullptr;
  const core::pipeline::RecomputeRequest request{
      args.required_path("out_bvec"), args.required_path("out_bval"), args.path("out_grad"),
      args.path("provenance"),        args.flag("dry_run"),           args.flag("in_place")};
  // The call has no tolerance parameter; shells are grouped at the default.
  auto output =
      core::pipeline::recompute_bval(loaded->table, std::move(loaded->inputs), request,
                                     args.number("b0_threshold"), core::default_shell_tolerance);
  if (!output) return raise_error(output.error());
  return to_str(core::pipeline::to_json(*output));
}

}  // namespace quorvex_ext::bodies
