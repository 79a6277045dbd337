// The seam every flip scorer plugs into: one fitted field, the 24 antipodal candidate classes and
// the frame map are shared; a scorer only turns one class's transform into a number.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "candidate.hpp"
#include "quorvex/coherence.hpp"
#include "quorvex/gradient.hpp"
#include "quorvex/grid.hpp"
#include "quorvex/tensor.hpp"

namespace quorvex_core {

struct ClassScore {
  double value = 0.0;
  /// How much evidence the value rests on (probes, seeds); 0 means none.
  std::uint64_t samples = 0;
};

using ClassScores = std::array<ClassScore, class_count>;

/// Scores candidate classes of one fitted field. `transform` is frame map · the class's
/// representative: it carries the field's fitted directions onto the voxel axes. A class and its
/// antipode must score the same, which is why only one of them is ever asked for.
class ClassScorer {
 public:
  ClassScorer() = default;
  ClassScorer(const ClassScorer&) = delete;
  ClassScorer& operator=(const ClassScorer&) = delete;
  virtual ~ClassScorer() = default;
  [[nodiscard]] virtual ClassScore score(std::size_t class_index, const Mat3& transform) = 0;
  /// Every class at once, `transforms` in class order. Scorers whose work per class touches the
  /// same voxels for every class override it to walk the voxels once.
  [[nodiscard]] virtual ClassScores score_all(const std::array<Mat3, class_count>& transforms);
};

/// Every class scored in class order.
[[nodiscard]] ClassScores score_classes(ClassScorer& scorer, const Mat3& frame_map);

/// The coherence index of each class over a mask, with the probe length in voxels.
class CoherenceClassScorer final : public ClassScorer {
 public:
  CoherenceClassScorer(const TensorField& field, const Mask& mask, double step);
  /// The index estimated on the voxels of `scored` only (ascending, each usable), probing the
  /// voxels `usable` marks (one byte per voxel, each with a fitted direction).
  CoherenceClassScorer(const TensorField& field, std::vector<std::uint8_t> usable, double step,
                       std::vector<std::size_t> scored);
  [[nodiscard]] ClassScore score(std::size_t class_index, const Mat3& transform) override;
  /// A sample is too small to split over the workers, so its classes run side by side instead.
  [[nodiscard]] ClassScores score_all(const std::array<Mat3, class_count>& transforms) override;

 private:
  const TensorField& field_;
  CoherenceScorer scorer_;
  double step_;
  bool sampled_ = false;
  // The masked voxels' directions carried by `transform` (a direction too short to have one
  // stays as it is).
  void transform_masked(const Mat3& transform, std::span<Vec3> out) const;

  // The masked voxels' directions, gathered from the field once rather than by every class.
  std::vector<Vec3> masked_v1_;
  std::vector<Vec3> transformed_;
};

/// The class with the highest value (the first on ties), and whether its value is strictly above
/// every other class's (a tie is no evidence for either).
struct ClassWinner {
  std::size_t best = 0;
  std::size_t runner_up = 0;
  bool strict = false;
};
[[nodiscard]] ClassWinner class_winner(const ClassScores& scores) noexcept;

}  // namespace quorvex_core
