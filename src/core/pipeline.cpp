// The scheme stage of every pipeline and the shell helpers.
#include "quorvex/pipeline.hpp"

#include <cmath>

#include "quorvex/angular.hpp"
#include "quorvex/scheme_qc.hpp"

namespace quorvex_core::pipeline {
namespace {

// Ramp-sampled b-values differ from an integer by far more than this; rounding noise from
// text round-trips does not.
constexpr double integrality_tolerance = 0.001;

}  // namespace

Report scheme_report(const GradientTable& table, std::vector<InputFile> inputs,
                     const PipelineOptions& options) {
  Report report = Report::create(SchemeTable{table.directions(), table.bvals()});
  report.inputs = std::move(inputs);
  const auto& bvals = table.bvals();
  report.shells = ShellSummary{
      options.b0_threshold,
      options.tolerance,
      detect_shells(bvals, options.b0_threshold, options.tolerance),
      b0_summary(bvals, options.b0_threshold),
      non_integer_bvals(bvals, integrality_tolerance),
  };
  report.angular =
      analyze(table, options.b0_threshold, options.tolerance, options.duplicate_angle_deg);
  report.norm_stats = table.norm_stats(options.b0_threshold, options.norm_tolerance);
  return report;
}

Result<Report> scheme_audit(const GradientTable& table, std::vector<InputFile> inputs,
                            const PipelineOptions& options) {
  return scheme_qc::apply(scheme_report(table, std::move(inputs), options), options.strict);
}

Result<Shell> pick_shell(const std::vector<double>& bvals, double b0_threshold, double tolerance,
                         double target) {
  std::optional<Shell> choice;
  for (Shell& shell : detect_shells(bvals, b0_threshold, tolerance)) {
    if (shell.is_b0) continue;
    if (!choice || std::fabs(choice->nominal_b - target) > std::fabs(shell.nominal_b - target)) {
      choice = std::move(shell);
    }
  }
  if (!choice) return fail(Error::no_usable_shell());
  return std::move(*choice);
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
