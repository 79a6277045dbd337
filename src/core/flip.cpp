// The flip detector: working shell, fit and coherence mask, ranking and verdict.
#include "quorvex/flip.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <bit>
#include <cmath>

#include "candidate.hpp"
#include "class_scoring.hpp"
#include "quorvex/interrupt.hpp"
#include "quorvex/pool.hpp"

namespace quorvex_core {
namespace {

using Clock = std::chrono::steady_clock;

std::chrono::nanoseconds since(Clock::time_point start) {
  const auto elapsed = Clock::now() - start;
  return std::max(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed),
                  std::chrono::nanoseconds{0});
}

// A key whose integer order is the IEEE 754 total order of the doubles.
std::int64_t total_order_key(double value) {
  const auto bits = std::bit_cast<std::int64_t>(value);
  return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

// One chunk of a mask: its voxels, and the FA of those with a fit, in voxel order.
struct Tally {
  std::uint64_t voxels = 0;
  std::vector<double> fa;
};

constexpr std::size_t tally_chunk = 65536;

std::vector<Tally> tally(const Mask& mask, const TensorField& field) {
  const std::size_t n = std::min(mask.size(), field.fa.size());
  std::vector<Tally> tallies((n + tally_chunk - 1) / tally_chunk);
  pool::run_chunks(tallies.size(), 1, [&](std::size_t first, std::size_t last) {
    for (std::size_t c = first; c < last; ++c) {
      Tally t;
      for (std::size_t i = c * tally_chunk; i < std::min(n, (c + 1) * tally_chunk); ++i) {
        if (!mask[i]) continue;
        ++t.voxels;
        if (field.valid[i] != 0) t.fa.push_back(field.fa[i]);
      }
      tallies[c] = std::move(t);
    }
  });
  return tallies;
}

}  // namespace

Result<FitAndMask> fit_and_mask(const ImageArray& image, const GradientTable& table,
                                const Mask* user_mask, std::span<const std::uint64_t> shell_indices,
                                const FlipOptions& options) {
  const std::vector<std::size_t> b0 = table.b0_indices(options.b0_threshold);
  auto field =
      fit_dti(image, table, b0, shell_indices, options.min_signal, options.streamed_fit.get());
  if (!field) return fail(field.error());
  const std::size_t n = field->fa.size();
  if (user_mask != nullptr && user_mask->size() != n) {
    return fail(Error::mask_mismatch(user_mask->size(), n));
  }
  FitAndMask out;
  std::vector<Tally> tallies;
  if (user_mask != nullptr) {
    out.mask = *user_mask;
    tallies = tally(out.mask, *field);
  } else {
    out.mask = field->wm_proxy(options.fa_threshold);
    tallies = tally(out.mask, *field);
    if (std::all_of(tallies.begin(), tallies.end(), [](const Tally& t) { return t.voxels == 0; })) {
      // The Otsu cut can fall above every anisotropic voxel (a bright, mostly grey head); the
      // anisotropy condition alone still finds the fibres.
      for (std::size_t i = 0; i < n; ++i) {
        out.mask[i] = field->valid[i] != 0 && field->fa[i] >= options.fa_threshold;
      }
      tallies = tally(out.mask, *field);
    }
  }
  // The FA values are added one at a time in voxel order, as a single pass adds them.
  double fa_sum = 0.0;
  std::uint64_t fa_count = 0;
  for (const Tally& t : tallies) {
    out.n_wm_voxels += t.voxels;
    for (const double fa : t.fa) {
      fa_sum += fa;
      ++fa_count;
    }
  }
  if (out.n_wm_voxels == 0) return fail(Error::dti_fit("no WM voxels above the FA threshold"));
  out.mask_mean_fa = fa_count > 0 ? fa_sum / static_cast<double>(fa_count) : 0.0;
  out.field = std::move(*field);
  return out;
}

std::vector<CandidateScore> rank_candidates(const TensorField& field, const Mask& mask,
                                            const Mat3& frame_map, double step) {
  CoherenceClassScorer scorer(field, mask, step);
  const ClassScores scores = score_classes(scorer, frame_map);
  std::vector<Candidate> candidates = all_candidates();
  std::vector<ClassScore> by_candidate(candidates.size());
  const auto classes = candidate_classes();
  for (std::size_t c = 0; c < class_count; ++c) {
    by_candidate[classes[c].representative] = scores[c];
    by_candidate[classes[c].antipode] = scores[c];
  }
  std::vector<CandidateScore> ranking;
  ranking.reserve(candidates.size());
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    ranking.push_back({std::move(candidates[k].label), candidates[k].matrix,
                       candidates[k].is_identity, by_candidate[k].value, by_candidate[k].samples});
  }
  std::stable_sort(ranking.begin(), ranking.end(), [](const auto& a, const auto& b) {
    return total_order_key(a.coherence) > total_order_key(b.coherence);
  });
  return ranking;
}

bool antipodal_or_equal(const Mat3& a, const Mat3& b) noexcept {
  bool equal = true;
  bool opposite = true;
  for (std::size_t r = 0; r < 3; ++r) {
    for (std::size_t c = 0; c < 3; ++c) {
      equal = equal && a[r][c] == b[r][c];
      opposite = opposite && a[r][c] == -b[r][c];
    }
  }
  return equal || opposite;
}

FlipResult assemble_result(std::uint64_t n_wm_voxels, std::vector<CandidateScore> ranking,
                           double working_b, double mask_mean_fa, double min_relative_margin) {
  FlipResult result;
  result.working_b = working_b;
  result.n_wm_voxels = n_wm_voxels;
  result.mask_mean_fa = mask_mean_fa;
  if (!ranking.empty()) {
    result.best = ranking.front();
    result.runner_up = ranking.size() > 1 ? ranking[1] : ranking.front();
    const auto distinct = std::find_if(ranking.begin() + 1, ranking.end(), [&](const auto& c) {
      return !antipodal_or_equal(c.matrix, result.best.matrix);
    });
    if (distinct != ranking.end()) result.runner_up = *distinct;
    const auto identity =
        std::find_if(ranking.begin(), ranking.end(), [](const auto& c) { return c.is_identity; });
    if (identity != ranking.end()) result.identity_coherence = identity->coherence;
  }
  result.margin = result.best.coherence - result.runner_up.coherence;
  result.relative_margin =
      result.best.coherence > 0.0 ? result.margin / result.best.coherence : 0.0;
  if (result.best.is_identity || antipodal_or_equal(result.best.matrix, identity_matrix)) {
    result.decision = Status::Pass;
  } else if (result.relative_margin >= min_relative_margin) {
    result.decision = Status::Flag;
    result.recommended_transform = result.best.matrix;
    result.recommended_label = result.best.label;
  } else {
    result.decision = Status::Warn;
  }
  result.ranking = std::move(ranking);
  return result;
}

Result<Detection> detect_flip_on_shell(const ImageArray& image, const GradientTable& table,
                                       const Mask* mask, const Shell& shell,
                                       const FlipOptions& options) {
  Detection detection;
  const auto fit_start = Clock::now();
  auto fitted = fit_and_mask(image, table, mask, shell.indices, options);
  detection.fit = since(fit_start);
  if (!fitted) return fail(fitted.error());
  const auto rank_start = Clock::now();
  auto ranking = rank_candidates(fitted->field, fitted->mask, options.frame_map, options.step);
  detection.coherence = since(rank_start);
  // A stopped call ends here, before its partial ranking could be mistaken for a verdict.
  if (interrupt::Token::current().stopped()) return fail(interrupt::error());
  // A user mask is taken as given, so it can hold no voxel with a fitted direction (for example
  // when the design cannot separate the trace from S0); a ranking of nothing must not pass.
  if (std::all_of(ranking.begin(), ranking.end(), [](const auto& c) { return c.n_samples == 0; })) {
    return fail(
        Error::dti_fit("no coherence samples: no voxel of the mask has a fitted direction"));
  }
  detection.result = assemble_result(fitted->n_wm_voxels, std::move(ranking), shell.nominal_b,
                                     fitted->mask_mean_fa, options.min_relative_margin);
  detection.glyphs = {std::move(fitted->field), std::move(fitted->mask), options.frame_map};
  return detection;
}

Result<Detection> detect_flip(const ImageArray& image, const GradientTable& table, const Mask* mask,
                              const FlipOptions& options) {
  const auto shell =
      nearest_shell(table.bvals(), options.b0_threshold, options.tolerance, working_b_target);
  if (!shell) return fail(Error::no_usable_shell());
  return detect_flip_on_shell(image, table, mask, *shell, options);
}

}  // namespace quorvex_core
