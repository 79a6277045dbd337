// Single-subject pipelines: the scheme report every operation starts from, and the shell
// helpers the later stages share.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "quorvex/confirm.hpp"
#include "quorvex/documents/report.hpp"
#include "quorvex/error.hpp"
#include "quorvex/flip.hpp"
#include "quorvex/frame.hpp"
#include "quorvex/gradient.hpp"
#include "quorvex/input_file.hpp"
#include "quorvex/shell.hpp"
#include "quorvex/volume.hpp"

namespace quorvex_core::pipeline {

/// The option record every entry hands to the pipelines.
struct PipelineOptions {
  /// Requested working-shell b-value for flip detection; absent lets the detector choose.
  std::optional<double> shell;
  double duplicate_angle_deg = 5.0;
  /// Also holds the b0 threshold and the shell grouping tolerance every stage uses.
  FlipOptions flip_options;
  double norm_tolerance = default_norm_tolerance;
  bool strict = false;
};

/// The coherence probe length for an image: `step` when the caller gives one, else about 4 mm in
/// voxels (4 / mean voxel size, at least 1; 1 when the mean voxel size is not positive).
[[nodiscard]] double default_step(std::optional<double> step, const VolumeInfo& info) noexcept;

/// Shells, b0 summary, non-integer b-values, angular coverage and norm statistics in a new PASS
/// report. The scheme rules are left to the caller.
[[nodiscard]] Report scheme_report(const GradientTable& table, std::vector<InputFile> inputs,
                                   const PipelineOptions& options);

/// The scheme report with the scheme rules applied: the whole audit of a table without an
/// image. Fails only on the strict amplitude gate.
[[nodiscard]] Result<Report> scheme_audit(const GradientTable& table, std::vector<InputFile> inputs,
                                          const PipelineOptions& options);

/// (nominal b, volume count) per detected shell, b0 shell included, in detection order.
[[nodiscard]] std::vector<std::pair<double, std::uint64_t>> shell_counts(
    const std::vector<double>& bvals, double b0_threshold, double tolerance);

/// A subject run with everything the instrumented and display entries return beside the report.
struct AuditRun {
  Report report;
  /// Tensor fit with masking, and candidate ranking, as the detector measured them.
  std::chrono::nanoseconds fit{0};
  std::chrono::nanoseconds coherence{0};
  GlyphData glyphs;
};

/// The whole audit of one subject. Without an image: the scheme audit. With one: the volume
/// and mask checks (`VolumeMismatch`, `MaskMismatch`), the scheme report, the b0 drift, flip
/// detection (status from its decision), the low-FA note, then the scheme rules.
[[nodiscard]] Result<Report> audit(const GradientTable& table, const ImageArray* image,
                                   const Mask* mask, std::vector<InputFile> inputs,
                                   const PipelineOptions& options);

/// `audit` on a required image, keeping the detector's timings and glyph data.
[[nodiscard]] Result<AuditRun> audit_timed_with_glyphs(const GradientTable& table,
                                                       const ImageArray& image, const Mask* mask,
                                                       std::vector<InputFile> inputs,
                                                       const PipelineOptions& options);

/// Flip detection alone: the checks, a bare report with the flip section, the status exactly the
/// decision, and the low-FA note; no scheme sections or rules. With the detector's timings and
/// glyph data.
[[nodiscard]] Result<AuditRun> detect_with_glyphs(const GradientTable& table,
                                                  const ImageArray& image, const Mask* mask,
                                                  std::vector<InputFile> inputs,
                                                  const PipelineOptions& options);

/// What a repair call asks for.
struct RepairRequest {
  std::string out_bvec;
  std::string out_bval;
  std::optional<std::string> out_grad;
  std::optional<std::string> provenance;
  /// The image's frames; without them outputs are written in the table's own frame.
  std::optional<FrameMaps> frame;
  bool dry_run = false;
  bool in_place = false;
  /// Apply the best candidate on a WARN decision.
  bool force_repair = false;
};

struct RepairOutput {
  Report report;
  /// Where existing outputs were moved, in preparation order.
  std::vector<std::string> backups;
  /// The corrected table in the table's own frame, whenever a repair was decided.
  std::optional<GradientTable> table;
};

/// The timed audit, then `repair_from_report` with the detector's margin threshold; also
/// returns the detector's glyph data.
[[nodiscard]] Result<std::pair<RepairOutput, GlyphData>> repair_with_glyphs(
    const GradientTable& table, const ImageArray& image, const Mask* mask,
    std::vector<InputFile> inputs, const PipelineOptions& options, const RepairRequest& request);

/// Decides and writes the repair of an audited table. Files are written in this order, each one
/// old-or-new (`io::write_file_staged`) with its backup claimed just before it is replaced:
/// out_bvec and out_bval (both checked first), out_grad, the sidecar. A failure stops there;
/// nothing already written is undone. Aliased paths are the caller's to refuse first
/// (`refuse_aliasing`). With `confirmed`, the confirmed verdict decides what is applied (the
/// report's flip section stays the coherence opinion) and the sidecar records both.
[[nodiscard]] Result<RepairOutput> repair_from_report(const GradientTable& table, Report report,
                                                      std::vector<InputFile> inputs,
                                                      const RepairRequest& request,
                                                      double min_relative_margin,
                                                      const Confirmation* confirmed = nullptr);

/// What a b-value recomputation asks for.
struct RecomputeRequest {
  std::string out_bvec;
  std::string out_bval;
  std::optional<std::string> out_grad;
  std::optional<std::string> provenance;
  bool dry_run = false;
  bool in_place = false;
};

struct RecomputeOutput {
  std::vector<std::pair<double, std::uint64_t>> before;
  std::vector<std::pair<double, std::uint64_t>> after;
  std::vector<std::string> outputs;
  double b_nominal = 0.0;
  double max_norm = 0.0;
  /// Smallest and largest recovered b-value above the b0 threshold (0 when there is none).
  double b_min = 0.0;
  double b_max = 0.0;
  GradientTable table;
  std::vector<std::string> backups;
};

/// Recovers b-values from amplitude-encoded directions and writes the table (unit directions)
/// with the same output rules as a repair. `NoUsableShell` when nothing can be recovered.
[[nodiscard]] Result<RecomputeOutput> recompute_bval(const GradientTable& table,
                                                     std::vector<InputFile> inputs,
                                                     const RecomputeRequest& request,
                                                     double b0_threshold, double tolerance);

/// The compact JSON summary of a recomputation.
[[nodiscard]] std::string to_json(const RecomputeOutput& output);

}  // namespace quorvex_core::pipeline
