// The pipelines' own steps, shared by their sources and tested on their own; not part of what the
// extension sees.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "quorvex/documents/report.hpp"
#include "quorvex/frame.hpp"

namespace quorvex_core {
struct TensorSums;
}  // namespace quorvex_core

namespace quorvex_core::pipeline {

struct PipelineOptions;
struct RepairRequest;

/// The detector on the requested shell (the non-b0 shell nearest it) or on the one it chooses.
[[nodiscard]] Result<Detection> run_flip(const ImageArray& image, const GradientTable& table,
                                         const Mask* mask, const PipelineOptions& options);

/// Mean b0 signal per b0 volume (masked) and its drift fit. Without a mask, the means a streamed
/// read took of the same volumes as they arrived (`streamed`, when given) are used.
[[nodiscard]] B0Drift compute_drift(const ImageArray& image, const GradientTable& table,
                                    const Mask* mask, double b0_threshold,
                                    const TensorSums* streamed = nullptr);

/// Adds the whole-brain-mask note when the coherence mask's mean FA is above 0 and below 0.3.
[[nodiscard]] Report note_low_mask_fa(Report report);

/// The table carried into the world frame when frames are known; a copy otherwise.
[[nodiscard]] GradientTable emit_table(const GradientTable& table,
                                       const std::optional<FrameMaps>& frame);

/// Records a backup if a write made one.
void push_backup(std::vector<std::string>& backups, std::optional<std::string> backup);

/// A path as display text.
[[nodiscard]] std::string path_str(const std::string& path);

/// Builds and writes the sidecar of a repair.
[[nodiscard]] Result<void> write_provenance(const std::string& path, const Report& report,
                                            const FlipResult& flip, std::vector<InputFile> inputs,
                                            const std::vector<std::string>& outputs,
                                            const RepairRequest& request,
                                            const Confirmation* confirmed = nullptr);

}  // namespace quorvex_core::pipeline
