// The fibre-coherence index: how well each voxel's direction agrees with the directions one
// step ahead of and behind it along itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quorvex/gradient.hpp"
#include "quorvex/grid.hpp"

namespace quorvex_core {

struct CoherenceScore {
  double coherence = 0.0;
  std::uint64_t n_samples = 0;
};

/// Scores direction fields on one grid and mask. Built once per detection and reused for every
/// candidate, so the masked voxel list is found once.
class CoherenceScorer {
 public:
  CoherenceScorer(const GridShape& shape, const Mask& mask);
  /// Scores only the voxels of `scored` (ascending, each usable), probing every voxel `usable`
  /// marks (one byte per voxel in grid order, each with a direction to compare with): an
  /// estimate of the index from a sample, for the transforming `score`. Nothing is scanned.
  CoherenceScorer(const GridShape& shape, std::vector<std::uint8_t> usable,
                  std::vector<std::size_t> scored);

  /// Mean over all probes of |v . a/|a||, with a the sign-aligned trilinear average of the
  /// masked neighbours' directions at x +/- step * v. Directions are in voxel units along the
  /// voxel axes; only masked entries are read. Blind to the sign of every vector. Runs on the
  /// shared pool; the result does not depend on the scheduling.
  [[nodiscard]] CoherenceScore score(std::span<const Vec3> directions, double step);

  /// `score` of `raw` carried by `transform`, each direction transformed as it is read: cheaper
  /// than transforming the whole mask when only a sample of it is scored. For a scorer made
  /// from usable voxels.
  [[nodiscard]] CoherenceScore score(std::span<const Vec3> raw, const Mat3& transform,
                                     double step) const;

  /// The masked voxels, ascending: the only entries `score` reads.
  [[nodiscard]] std::span<const std::size_t> masked() const noexcept { return masked_; }

 private:
  template <class Direction>
  [[nodiscard]] CoherenceScore score_with(const Direction& direction, double step) const;

  GridShape shape_;
  std::vector<std::size_t> masked_;
  // The voxels whose probes are summed: all masked voxels unless a sample was given.
  std::vector<std::size_t> scored_;
  // Masked voxels whose direction is long enough to compare with; refreshed by each score.
  std::vector<std::uint8_t> usable_;
};

/// One-off scoring: `CoherenceScorer(shape, mask).score(directions, step)`. `directions` and
/// `mask` hold at least nx * ny * nz entries.
[[nodiscard]] CoherenceScore coherence_index(const GridShape& shape,
                                             std::span<const Vec3> directions, const Mask& mask,
                                             double step);

}  // namespace quorvex_core
