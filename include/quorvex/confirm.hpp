// The confirmed flip verdict: short-streamline tracking over the 24 antipodal candidate classes on
// a coherent anisotropic mask, decided only when the evidence replicates across resamples, across
// halves of the seeds and with the coherence index.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quorvex/gradient.hpp"
#include "quorvex/grid.hpp"
#include "quorvex/status.hpp"
#include "quorvex/tensor.hpp"
#include "quorvex/tracking_rules.hpp"

namespace quorvex_core {

struct ConfirmOptions {
  CoherentMaskRule mask_rule;
  TrackingRule tracking;
  double seed_fa = 0.3;
  std::size_t max_seeds = 2000;
  std::uint64_t rng_seed = 0x5eed'0f'c1a55ULL;
  std::size_t bootstrap_resamples = 200;
  /// Seeds needed in each of the six half-sets for the split-half replication to mean anything.
  std::size_t min_seeds_per_half = 10;
  double min_relative_gap = 0.10;
  double min_bootstrap_gap = 0.05;
  /// Probe length of the coherence cross-check, in voxels.
  double coherence_step = 1.0;
  /// Carries table directions onto the voxel axes.
  Mat3 frame_map = identity_matrix;
};

/// One candidate class as reported: its representative candidate and its score.
struct ClassVerdict {
  std::string label;
  Mat3 matrix{};
  bool is_identity = false;
  /// Mean streamline length per seed (both sides), in mm.
  double mean_length_mm = 0.0;
};

struct Confirmation {
  /// PASS or FLAG only when every condition holds; WARN otherwise, with `reasons`.
  Status decision = Status::Warn;
  ClassVerdict best;
  ClassVerdict runner_up;
  /// (best - runner-up) / best over the class scores.
  double relative_gap = 0.0;
  /// The 5 % quantile of the best class's gap over paired bootstrap resamples of the seeds.
  double bootstrap_gap_5 = 0.0;
  /// The smallest gap of the best class within the six seed halves (split at the median of each
  /// voxel axis).
  double worst_half_gap = 0.0;
  std::uint64_t seeds = 0;
  std::uint64_t mask_voxels = 0;
  /// The coherence index on the same mask ranks the same class strictly first.
  bool coherence_agrees = false;
  /// The class the coherence index ranks first on the mask (empty without samples).
  std::string coherence_best;
  std::vector<std::string> reasons;
  /// Every class, longest streamlines first (ties in class order).
  std::vector<ClassVerdict> classes;
  /// Set only for a FLAG decision: the transform that corrects the table.
  std::optional<Mat3> recommended_transform;
  std::optional<std::string> recommended_label;
  std::chrono::nanoseconds elapsed{0};
};

/// The confirmed verdict on a fitted field. `user_mask`, when given, restricts the coherent mask
/// (and so the seeds); it must hold one entry per voxel. Never fails: missing evidence is a WARN
/// with its reason.
[[nodiscard]] Confirmation confirm_flip(const TensorField& field, const Mask* user_mask,
                                        const ConfirmOptions& options);

}  // namespace quorvex_core
