// The pieces of the confirmed verdict that work on the grid: the coherent anisotropic mask, the
// seeds and the streamline scorer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "class_scoring.hpp"
#include "quorvex/tracking_rules.hpp"

namespace quorvex_core {

/// A fitted field packed for the neighbourhood and tracking passes, which read it at random:
/// per voxel the principal direction and FA in 16 bytes, FA -1 where the fit is not valid.
struct PackedField {
  GridShape shape{};
  std::vector<std::array<float, 4>> voxels;
};

[[nodiscard]] PackedField pack_field(const TensorField& field);

/// The coherent anisotropic mask of a fitted field (see `CoherentMaskRule`), one byte per voxel
/// in grid order (1 inside). Every voxel inside has a valid fit, so a unit direction.
[[nodiscard]] std::vector<std::uint8_t> coherent_anisotropy_mask(const PackedField& field,
                                                                 const CoherentMaskRule& rule);

struct Seed {
  std::size_t voxel = 0;
  /// Continuous voxel coordinates (x, y, z), within half a voxel of the voxel's centre.
  Vec3 position{};
};

/// Up to `max_seeds` voxels of `mask` with a valid fit and FA >= `seed_fa`, drawn without
/// replacement by a generator seeded with `rng_seed`, in grid order, each jittered uniformly
/// within its voxel. The same inputs give the same seeds on every run and thread count.
[[nodiscard]] std::vector<Seed> draw_seeds(const TensorField& field,
                                           std::span<const std::uint8_t> mask, double seed_fa,
                                           std::size_t max_seeds, std::uint64_t rng_seed);

/// Length in mm of one side of a streamline from `position` along `direction` (unit, voxel
/// axes), following the field's directions carried by `transform` (see `TrackingRule`).
[[nodiscard]] double track_side(const PackedField& field, const Mat3& transform, Vec3 position,
                                Vec3 direction, const TrackingRule& rule) noexcept;

/// Scores a class by the mean length per seed of the streamlines grown both ways from every
/// seed, and keeps each seed's length for the resampling statistics.
class TrackingScorer final : public ClassScorer {
 public:
  TrackingScorer(const PackedField& field, std::vector<Seed> seeds, const TrackingRule& rule);
  [[nodiscard]] ClassScore score(std::size_t class_index, const Mat3& transform) override;
  /// Seeds outermost: every class's streamlines from one seed cover the same neighbourhood, so
  /// it is read from cache rather than from memory 24 times.
  [[nodiscard]] ClassScores score_all(const std::array<Mat3, class_count>& transforms) override;

  [[nodiscard]] std::span<const Seed> seeds() const noexcept { return seeds_; }
  /// One seed's streamline length (mm) in each class already scored, in class order.
  [[nodiscard]] std::span<const double, class_count> lengths(std::size_t seed) const noexcept;

 private:
  const PackedField& field_;
  std::vector<Seed> seeds_;
  TrackingRule rule_;
  // Both sides of the streamline from seed `s` under `transform`.
  [[nodiscard]] double seed_length(std::size_t s, const Mat3& transform) const noexcept;
  [[nodiscard]] ClassScore mean_of(std::size_t class_index) const noexcept;

  // Seed-major, so that resampling seeds reads each seed's classes together.
  std::vector<double> lengths_;
};

}  // namespace quorvex_core
