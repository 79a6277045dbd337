// Scoring the antipodal classes through one scorer, and the coherence scorer behind the seam.
#include "class_scoring.hpp"

#include "quorvex/interrupt.hpp"
#include "quorvex/pool.hpp"

namespace quorvex_core {
namespace {

constexpr double min_length = 1e-9;

}  // namespace

ClassScores ClassScorer::score_all(const std::array<Mat3, class_count>& transforms) {
  ClassScores scores{};
  const interrupt::Token token = interrupt::Token::current();
  for (std::size_t c = 0; c < class_count; ++c) {
    // A stopped call ends here; its caller sees the stop and drops the partial scores.
    if (token.stop_requested()) break;
    scores[c] = score(c, transforms[c]);
  }
  return scores;
}

ClassScores score_classes(ClassScorer& scorer, const Mat3& frame_map) {
  const std::vector<Candidate> candidates = all_candidates();
  const auto classes = candidate_classes();
  std::array<Mat3, class_count> transforms{};
  for (std::size_t c = 0; c < class_count; ++c)
    transforms[c] = multiply(frame_map, candidates[classes[c].representative].matrix);
  return scorer.score_all(transforms);
}

CoherenceClassScorer::CoherenceClassScorer(const TensorField& field, const Mask& mask, double step)
    : field_(field),
      scorer_(field.shape, mask),
      step_(step),
      transformed_(scorer_.masked().size(), Vec3{0.0, 0.0, 0.0}) {
  masked_v1_.reserve(scorer_.masked().size());
  for (const std::size_t i : scorer_.masked())
    masked_v1_.push_back(field.v1[i]);
}

CoherenceClassScorer::CoherenceClassScorer(const TensorField& field,
                                           std::vector<std::uint8_t> usable, double step,
                                           std::vector<std::size_t> scored)
    : field_(field),
      scorer_(field.shape, std::move(usable), std::move(scored)),
      step_(step),
      sampled_(true) {}

void CoherenceClassScorer::transform_masked(const Mat3& transform, std::span<Vec3> out) const {
  for (std::size_t k = 0; k < masked_v1_.size(); ++k) {
    const Vec3& v = masked_v1_[k];
    out[k] = norm(v) < min_length ? v : apply(transform, v);
  }
}

ClassScore CoherenceClassScorer::score(std::size_t /*class_index*/, const Mat3& transform) {
  if (sampled_) {
    // A sample reads a few voxels per class: transforming them as they are read beats
    // transforming the whole mask for every class.
    const CoherenceScore s = scorer_.score(field_.v1, transform, step_);
    return {s.coherence, s.n_samples};
  }
  // The scorer reads directions only at masked voxels, so only those are transformed.
  transform_masked(transform, transformed_);
  const CoherenceScore s = scorer_.score_masked(transformed_, step_);
  return {s.coherence, s.n_samples};
}

ClassScores CoherenceClassScorer::score_all(const std::array<Mat3, class_count>& transforms) {
  ClassScores scores{};
  if (!sampled_) {
    // The classes side by side, each on one worker: every class reads the same voxels.
    const auto each = scorer_.score_masked_sets(
        class_count,
        [&](std::size_t c, std::span<Vec3> out) { transform_masked(transforms[c], out); }, step_);
    for (std::size_t c = 0; c < class_count; ++c)
      scores[c] = {each[c].coherence, each[c].n_samples};
    return scores;
  }
  // Each class writes its own slot, so a redo is harmless and the order does not matter.
  pool::run_chunks(class_count, 1, [&](std::size_t first, std::size_t last) {
    for (std::size_t c = first; c < last; ++c) {
      const CoherenceScore s = scorer_.score(field_.v1, transforms[c], step_);
      scores[c] = {s.coherence, s.n_samples};
    }
  });
  return scores;
}

ClassWinner class_winner(const ClassScores& scores) noexcept {
  ClassWinner w;
  for (std::size_t c = 1; c < class_count; ++c) {
    if (scores[c].value > scores[w.best].value) w.best = c;
  }
  w.runner_up = w.best == 0 ? 1 : 0;
  for (std::size_t c = 0; c < class_count; ++c) {
    if (c != w.best && scores[c].value > scores[w.runner_up].value) w.runner_up = c;
  }
  w.strict = scores[w.best].value > scores[w.runner_up].value;
  return w;
}

}  // namespace quorvex_core
