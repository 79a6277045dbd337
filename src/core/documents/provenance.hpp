// The provenance sidecar written beside corrected gradient files: inputs with digests, the
// analysis, the transform applied, the frames and the outputs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quorvex/angular.hpp"
#include "quorvex/confirm.hpp"
#include "quorvex/documents/report.hpp"
#include "quorvex/error.hpp"
#include "quorvex/flip.hpp"
#include "quorvex/gradient.hpp"
#include "quorvex/input_file.hpp"
#include "quorvex/shell.hpp"

namespace quorvex_core {

/// The coordinate frames the outputs were written in.
struct FrameRecord {
  /// "mrtrix" or "fsl".
  std::string input_format;
  /// +1 or -1 (NaN written as null).
  double affine_determinant_sign = 1.0;
  /// The transpose of `world_voxel_map`.
  Mat3 rotation{};
  Mat3 fsl_voxel_map{};
  Mat3 world_voxel_map{};
  bool frames_divergent = false;
  bool emitted_fsl = false;
  bool emitted_mrtrix = false;
};

struct Provenance : DocumentHeader {
  std::vector<InputFile> inputs;
  std::optional<ShellSummary> shells;
  std::optional<AngularSummary> angular;
  std::optional<FlipResult> flip;
  /// The confirmed verdict, when it decided the repair.
  std::optional<Confirmation> confirmed;
  std::optional<Mat3> applied_transform;
  std::optional<std::string> applied_label;
  std::optional<FrameRecord> frame;
  std::vector<std::string> outputs;
  std::vector<std::string> notes;

  /// Stamped now, with the given inputs and every optional section absent.
  [[nodiscard]] static Provenance create(std::vector<InputFile> inputs);
  /// Sets `flip` and takes the applied transform and label from its recommendation.
  [[nodiscard]] Provenance with_flip(const FlipResult& flip) &&;
  [[nodiscard]] Provenance with_outputs(std::vector<std::string> outputs) &&;
};

/// The pretty JSON text of the sidecar.
[[nodiscard]] std::string to_json(const Provenance& provenance);

/// Writes the sidecar, overwriting any existing file without a backup. `Io` when the file cannot
/// be created, `Json` when writing it fails.
[[nodiscard]] Result<void> write_sidecar(const std::string& path, const Provenance& provenance);

}  // namespace quorvex_core
