// The flip detector's options and result records.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quorvex/gradient.hpp"
#include "quorvex/status.hpp"

namespace quorvex_core {

/// The detector's settings; the entries fill them from the call and the image.
struct FlipOptions {
  double b0_threshold = default_b0_threshold;
  double tolerance = 0.05;
  /// Voxels with a lower mean b0 signal are not fitted.
  double min_signal = 1.0;
  /// FA threshold of the white-matter proxy and its fallback.
  double fa_threshold = 0.2;
  /// Coherence probe length in voxels.
  double step = 1.0;
  /// Relative margin needed for a FLAG verdict.
  double min_relative_margin = 0.02;
  /// Carries table directions onto the voxel axes.
  Mat3 frame_map = identity_matrix;
};

/// One scored candidate transform.
struct CandidateScore {
  std::string label;
  Mat3 matrix{};
  bool is_identity = false;
  double coherence = 0.0;
  std::uint64_t n_samples = 0;
};

/// The verdict of one detection, with the full ranking.
struct FlipResult {
  double working_b = 0.0;
  std::uint64_t n_wm_voxels = 0;
  double mask_mean_fa = 0.0;
  /// All candidates, highest coherence first.
  std::vector<CandidateScore> ranking;
  CandidateScore best;
  CandidateScore runner_up;
  double identity_coherence = 0.0;
  double margin = 0.0;
  double relative_margin = 0.0;
  Status decision = Status::Pass;
  /// Set only for a FLAG decision.
  std::optional<Mat3> recommended_transform;
  std::optional<std::string> recommended_label;
};

}  // namespace quorvex_core
