// The single-subject pipelines with the confirmed verdict beside the coherence one: one image
// read, one tensor fit, two opinions.
#pragma once

#include <optional>
#include <vector>

#include "quorvex/confirm.hpp"
#include "quorvex/pipeline.hpp"
#include "quorvex/repair.hpp"

namespace quorvex_core::pipeline {

/// The confirmed verdict's settings for an image: its voxel sizes, and the detector's frame map
/// and probe length.
[[nodiscard]] ConfirmOptions confirm_options(const FlipOptions& flip, const VolumeInfo& info);

struct ConfirmedRun {
  AuditRun run;
  Confirmation confirmation;
  /// The run's status with the confirmed verdict in place of the coherence one: the confirmed
  /// decision, raised by the scheme rules exactly as they raise the report's status.
  Status status = Status::Warn;
};

/// `audit_timed_with_glyphs` (or, with `detect_only`, `detect_with_glyphs`) and the confirmed
/// verdict on the same fit.
[[nodiscard]] Result<ConfirmedRun> audit_confirmed(const GradientTable& table,
                                                   const ImageArray& image, const VolumeInfo& info,
                                                   const Mask* mask, std::vector<InputFile> inputs,
                                                   const PipelineOptions& options,
                                                   bool detect_only);

/// The repair the confirmed verdict decides: its transform on a FLAG; on a WARN, with
/// `force_repair`, its best class unless that leaves every axis unchanged; nothing otherwise.
[[nodiscard]] std::optional<Repair> confirmed_repair(const GradientTable& table,
                                                     const Confirmation& confirmation,
                                                     bool force_repair);

struct ConfirmedRepair {
  RepairOutput output;
  Confirmation confirmation;
  Status status = Status::Warn;
};

/// The audit, the confirmed verdict, then the writing rules of `repair_from_report` with the
/// confirmed verdict deciding what is applied. The sidecar records both opinions.
[[nodiscard]] Result<ConfirmedRepair> repair_confirmed(
    const GradientTable& table, const ImageArray& image, const VolumeInfo& info, const Mask* mask,
    std::vector<InputFile> inputs, const PipelineOptions& options, const RepairRequest& request);

}  // namespace quorvex_core::pipeline
