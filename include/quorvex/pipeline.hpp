// Single-subject pipelines: the scheme report every operation starts from, and the shell
// helpers the later stages share.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "quorvex/error.hpp"
#include "quorvex/flip.hpp"
#include "quorvex/gradient.hpp"
#include "quorvex/input_file.hpp"
#include "quorvex/report.hpp"
#include "quorvex/shell.hpp"

namespace quorvex_core::pipeline {

/// The option record every entry hands to the pipelines.
struct PipelineOptions {
  /// Requested working-shell b-value for flip detection; absent lets the detector choose.
  std::optional<double> shell;
  double b0_threshold = default_b0_threshold;
  double tolerance = 0.05;
  double duplicate_angle_deg = 5.0;
  FlipOptions flip_options;
  double norm_tolerance = default_norm_tolerance;
  bool strict = false;
};

/// Shells, b0 summary, non-integer b-values, angular coverage and norm statistics in a new PASS
/// report. The scheme rules are left to the caller.
[[nodiscard]] Report scheme_report(const GradientTable& table, std::vector<InputFile> inputs,
                                   const PipelineOptions& options);

/// The scheme report with the scheme rules applied: the whole audit of a table without an
/// image. Fails only on the strict amplitude gate.
[[nodiscard]] Result<Report> scheme_audit(const GradientTable& table, std::vector<InputFile> inputs,
                                          const PipelineOptions& options);

/// The non-b0 shell nearest `target` (ties keep the earlier, lower shell). `NoUsableShell` when
/// every volume is b0.
[[nodiscard]] Result<Shell> pick_shell(const std::vector<double>& bvals, double b0_threshold,
                                       double tolerance, double target);

/// (nominal b, volume count) per detected shell, b0 shell included, in detection order.
[[nodiscard]] std::vector<std::pair<double, std::uint64_t>> shell_counts(
    const std::vector<double>& bvals, double b0_threshold, double tolerance);

}  // namespace quorvex_core::pipeline
