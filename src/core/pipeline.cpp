// The scheme stage of every pipeline and the shell helpers.
#include "quorvex/pipeline.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "pipeline_detail.hpp"
#include "quorvex/angular.hpp"
#include "quorvex/tensor.hpp"
#include "scheme_qc.hpp"

namespace quorvex_core::pipeline {
namespace {

// Ramp-sampled b-values differ from an integer by far more than this; rounding noise from
// text round-trips does not.
constexpr double integrality_tolerance = 0.001;
// Below this mean FA the coherence mask is mostly grey matter and CSF.
constexpr double low_mask_fa = 0.3;

// The table must describe every volume, and a mask must cover the image grid.
Result<void> check_inputs(const GradientTable& table, const ImageArray& image, const Mask* mask) {
  const std::size_t volumes = image.rank() >= 4 ? image.dim(3) : 1;
  if (table.size() != volumes) return fail(Error::volume_mismatch(table.size(), volumes));
  const std::size_t voxels = image.dim(0) * image.dim(1) * image.dim(2);
  if (mask != nullptr && mask->size() != voxels) {
    return fail(Error::mask_mismatch(mask->size(), voxels));
  }
  return {};
}

// Steps shared by every audit with an image; the detection comes back for the callers that
// keep its timings or glyphs.
Result<AuditRun> audit_with_image(const GradientTable& table, const ImageArray& image,
                                  const Mask* mask, std::vector<InputFile> inputs,
                                  const PipelineOptions& options) {
  if (auto checked = check_inputs(table, image, mask); !checked) return fail(checked.error());
  Report report = scheme_report(table, std::move(inputs), options);
  report.b0_drift = compute_drift(image, table, mask, options.flip_options.b0_threshold,
                                  options.flip_options.streamed_fit.get());
  auto detection = run_flip(image, table, mask, options);
  if (!detection) return fail(detection.error());
  report.status = detection->result.decision;
  report.flip = std::move(detection->result);
  auto ruled = scheme_qc::apply(note_low_mask_fa(std::move(report)), options.strict);
  if (!ruled) return fail(ruled.error());
  return AuditRun{std::move(*ruled), detection->fit, detection->coherence,
                  std::move(detection->glyphs)};
}

}  // namespace

double default_step(std::optional<double> step, const VolumeInfo& info) noexcept {
  if (step) return *step;
  const double mean = (info.voxel_sizes[0] + info.voxel_sizes[1] + info.voxel_sizes[2]) / 3.0;
  // About 4 mm along the fibre, and never less than one voxel.
  return mean > 0.0 ? std::max(4.0 / mean, 1.0) : 1.0;
}

Report scheme_report(const GradientTable& table, std::vector<InputFile> inputs,
                     const PipelineOptions& options) {
  Report report = Report::create(SchemeTable{table.directions(), table.bvals()});
  report.inputs = std::move(inputs);
  const auto& bvals = table.bvals();
  report.shells = ShellSummary{
      options.flip_options.b0_threshold,
      options.flip_options.tolerance,
      detect_shells(bvals, options.flip_options.b0_threshold, options.flip_options.tolerance),
      b0_summary(bvals, options.flip_options.b0_threshold),
      non_integer_bvals(bvals, integrality_tolerance),
  };
  report.angular = analyze(table, options.flip_options.b0_threshold, options.flip_options.tolerance,
                           options.duplicate_angle_deg);
  report.norm_stats = table.norm_stats(options.flip_options.b0_threshold, options.norm_tolerance);
  return report;
}

Result<Report> scheme_audit(const GradientTable& table, std::vector<InputFile> inputs,
                            const PipelineOptions& options) {
  return scheme_qc::apply(scheme_report(table, std::move(inputs), options), options.strict);
}

Result<Report> audit(const GradientTable& table, const ImageArray* image, const Mask* mask,
                     std::vector<InputFile> inputs, const PipelineOptions& options) {
  if (image == nullptr) return scheme_audit(table, std::move(inputs), options);
  auto run = audit_with_image(table, *image, mask, std::move(inputs), options);
  if (!run) return fail(run.error());
  return std::move(run->report);
}

Result<AuditRun> audit_timed_with_glyphs(const GradientTable& table, const ImageArray& image,
                                         const Mask* mask, std::vector<InputFile> inputs,
                                         const PipelineOptions& options) {
  return audit_with_image(table, image, mask, std::move(inputs), options);
}

Result<AuditRun> detect_with_glyphs(const GradientTable& table, const ImageArray& image,
                                    const Mask* mask, std::vector<InputFile> inputs,
                                    const PipelineOptions& options) {
  if (auto checked = check_inputs(table, image, mask); !checked) return fail(checked.error());
  Report report = Report::create(SchemeTable{table.directions(), table.bvals()});
  report.inputs = std::move(inputs);
  auto detection = run_flip(image, table, mask, options);
  if (!detection) return fail(detection.error());
  report.status = detection->result.decision;
  report.flip = std::move(detection->result);
  return AuditRun{note_low_mask_fa(std::move(report)), detection->fit, detection->coherence,
                  std::move(detection->glyphs)};
}

Result<Detection> run_flip(const ImageArray& image, const GradientTable& table, const Mask* mask,
                           const PipelineOptions& options) {
  if (!options.shell) return detect_flip(image, table, mask, options.flip_options);
  const FlipOptions& flip = options.flip_options;
  auto shell = nearest_shell(table.bvals(), flip.b0_threshold, flip.tolerance, *options.shell);
  if (!shell) return fail(Error::no_usable_shell());
  return detect_flip_on_shell(image, table, mask, *shell, options.flip_options);
}

B0Drift compute_drift(const ImageArray& image, const GradientTable& table, const Mask* mask,
                      double b0_threshold, const TensorSums* streamed) {
  std::vector<std::size_t> indices = table.b0_indices(b0_threshold);
  const bool taken = mask == nullptr && streamed != nullptr &&
                     streamed->reference_means.size() == indices.size() &&
                     std::ranges::equal(streamed->solved_reference, indices);
  std::vector<double> means =
      taken ? streamed->reference_means : mean_for_volumes(image, indices, mask);
  return b0_drift(std::vector<std::uint64_t>(indices.begin(), indices.end()), std::move(means));
}

Report note_low_mask_fa(Report report) {
  if (!report.flip) return report;
  const double fa = report.flip->mask_mean_fa;
  if (fa > 0.0 && fa < low_mask_fa) {
    report.notes.push_back(fmt::format(
        "coherence mask mean FA {:.2f} is low (looks whole-brain) — flip-detection sensitivity "
        "is reduced; supply a WM mask (FA-thresholded) for a wider margin",
        fa));
  }
  return report;
}

std::vector<std::pair<double, std::uint64_t>> shell_counts(const std::vector<double>& bvals,
                                                           double b0_threshold, double tolerance) {
  std::vector<std::pair<double, std::uint64_t>> counts;
  for (const Shell& shell : detect_shells(bvals, b0_threshold, tolerance)) {
    counts.emplace_back(shell.nominal_b, shell.count);
  }
  return counts;
}

}  // namespace quorvex_core::pipeline
