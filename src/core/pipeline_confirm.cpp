// The pipelines that add the confirmed verdict to an audit, a detection or a repair.
#include "quorvex/pipeline_confirm.hpp"

#include <algorithm>
#include <cmath>

#include "scheme_qc.hpp"

namespace quorvex_core::pipeline {
namespace {

// The status the scheme rules alone would give the report: the same rules on a PASS copy.
Status scheme_status(const Report& report, bool strict) {
  Report copy = report;
  copy.status = Status::Pass;
  copy.notes.clear();
  auto ruled = scheme_qc::apply(std::move(copy), strict);
  return ruled ? ruled->status : Status::Warn;
}

}  // namespace

ConfirmOptions confirm_options(const FlipOptions& flip, const VolumeInfo& info) {
  ConfirmOptions options;
  options.frame_map = flip.frame_map;
  options.coherence_step = flip.step;
  for (std::size_t a = 0; a < 3; ++a) {
    const double size = std::fabs(info.voxel_sizes[a]);
    // A header without usable voxel sizes is tracked in voxel units.
    options.tracking.voxel_size[a] = std::isfinite(size) && size > 0.0 ? size : 1.0;
  }
  return options;
}

Result<ConfirmedRun> audit_confirmed(const GradientTable& table, const ImageArray& image,
                                     const VolumeInfo& info, const Mask* mask,
                                     std::vector<InputFile> inputs, const PipelineOptions& options,
                                     bool detect_only) {
  auto run = detect_only ? detect_with_glyphs(table, image, mask, std::move(inputs), options)
                         : audit_timed_with_glyphs(table, image, mask, std::move(inputs), options);
  if (!run) return fail(run.error());
  Confirmation confirmation =
      confirm_flip(run->glyphs.field, mask, confirm_options(options.flip_options, info));
  Status status = confirmation.decision;
  if (!detect_only) status = std::max(status, scheme_status(run->report, options.strict));
  return ConfirmedRun{std::move(*run), std::move(confirmation), status};
}

std::optional<Repair> confirmed_repair(const GradientTable& table, const Confirmation& confirmation,
                                       bool force_repair) {
  if (confirmation.decision == Status::Flag && confirmation.recommended_transform &&
      confirmation.recommended_label) {
    return Repair{apply_transform(table, *confirmation.recommended_transform),
                  *confirmation.recommended_label, *confirmation.recommended_transform};
  }
  // The identity's class holds -I as well, so a forced repair never applies either.
  if (force_repair && confirmation.decision == Status::Warn && !confirmation.best.is_identity &&
      confirmation.seeds > 0) {
    return Repair{apply_transform(table, confirmation.best.matrix), confirmation.best.label,
                  confirmation.best.matrix};
  }
  return std::nullopt;
}

Result<ConfirmedRepair> repair_confirmed(const GradientTable& table, const ImageArray& image,
                                         const VolumeInfo& info, const Mask* mask,
                                         std::vector<InputFile> inputs,
                                         const PipelineOptions& options,
                                         const RepairRequest& request) {
  auto confirmed = audit_confirmed(table, image, info, mask, inputs, options, false);
  if (!confirmed) return fail(confirmed.error());
  auto output =
      repair_from_report(table, std::move(confirmed->run.report), std::move(inputs), request,
                         options.flip_options.min_relative_margin, &confirmed->confirmation);
  if (!output) return fail(output.error());
  return ConfirmedRepair{std::move(*output), std::move(confirmed->confirmation), confirmed->status};
}

}  // namespace quorvex_core::pipeline
