// The fibre-coherence index: how well each voxel's direction agrees with the directions one
// step ahead of and behind it along itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
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

  /// `score` with the directions of the masked voxels only, `masked_directions[k]` that of
  /// `masked()[k]`.
  [[nodiscard]] CoherenceScore score_masked(std::span<const Vec3> masked_directions, double step);

  /// `score_masked` of `calls` sets of masked directions, `directions(j, out)` writing set j
  /// into `out`, several side by side (one per worker) rather than each spread over them: a set
  /// that has a direction at the same voxels as the first is scored on one worker from a map of
  /// the grid they share; any other set by `score_masked` after them. The scores, in set
  /// order, are those of `score_masked`. A stop leaves the sets after it unscored.
  [[nodiscard]] std::vector<CoherenceScore> score_masked_sets(
      std::size_t calls, const std::function<void(std::size_t, std::span<Vec3>)>& directions,
      double step);

  /// `score` of `raw` carried by `transform`, each direction transformed as it is read: cheaper
  /// than transforming the whole mask when only a sample of it is scored. For a scorer made
  /// from usable voxels.
  [[nodiscard]] CoherenceScore score(std::span<const Vec3> raw, const Mat3& transform,
                                     double step) const;

  /// The masked voxels, ascending: the only entries `score` reads.
  [[nodiscard]] std::span<const std::size_t> masked() const noexcept { return masked_; }

 private:
  // `neighbour(i)`: the direction of voxel i, or nothing where there is none to compare with.
  // The chunks on the pool, or with `serial` one after the other on this thread.
  template <class Neighbour>
  [[nodiscard]] CoherenceScore score_with(const Neighbour& neighbour, double step,
                                          bool serial = false) const;
  // Points the slots at `packed` (the masked directions and a zero after them) where each has a
  // direction; the scattered slots are written only where they change.
  void set_slots(std::span<const Vec3> packed);
  // Whether `packed` has a direction exactly where the slots say.
  [[nodiscard]] bool same_slots(std::span<const Vec3> packed) const;

  GridShape shape_;
  std::vector<std::size_t> masked_;
  // The voxels whose probes are summed: all masked voxels unless a sample was given.
  std::vector<std::size_t> scored_;
  // For a sample: the voxels with a direction to compare with, one byte per voxel.
  std::vector<std::uint8_t> usable_;
  // For a whole mask: the masked directions packed in mask order, where the probes find them
  // in cache, and per voxel its place there (-1: none to compare with), refreshed by each score.
  std::vector<Vec3> packed_;
  FieldArray<std::int32_t> slot_;
  // Whether masked voxel k has a slot, kept beside it in mask order.
  std::vector<std::uint8_t> found_;
};

/// One-off scoring: `CoherenceScorer(shape, mask).score(directions, step)`. `directions` and
/// `mask` hold at least nx * ny * nz entries.
[[nodiscard]] CoherenceScore coherence_index(const GridShape& shape,
                                             std::span<const Vec3> directions, const Mask& mask,
                                             double step);

}  // namespace quorvex_core
