// The confirmed verdict: tracking scores for the 24 classes, their resampling statistics and the
// decision rule with its reasons.
#include "quorvex/confirm.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>

#include "candidate.hpp"
#include "class_scoring.hpp"
#include "confirm_rule.hpp"
#include "quorvex/pool.hpp"
#include "tracking.hpp"

namespace quorvex_core {
namespace {

using Clock = std::chrono::steady_clock;
constexpr double bootstrap_quantile = 0.05;
constexpr std::array<char, 3> axis_names{'x', 'y', 'z'};

// The gap of class `best` over the strongest other class, relative to `best`; -1 when `best`
// has nothing to be relative to.
double gap_of(const std::array<double, class_count>& means, std::size_t best) {
  double other = -std::numeric_limits<double>::infinity();
  for (std::size_t c = 0; c < class_count; ++c) {
    if (c != best) other = std::max(other, means[c]);
  }
  return means[best] > 0.0 ? (means[best] - other) / means[best] : -1.0;
}

// Class means over the seeds `members` picks (zero when it picks none).
std::array<double, class_count> class_means(const TrackingScorer& scorer,
                                            std::span<const std::size_t> members) {
  std::array<double, class_count> means{};
  for (const std::size_t s : members) {
    const auto lengths = scorer.lengths(s);
    for (std::size_t c = 0; c < class_count; ++c)
      means[c] += lengths[c];
  }
  for (double& mean : means)
    mean = members.empty() ? 0.0 : mean / static_cast<double>(members.size());
  return means;
}

// The 5 % quantile of the best class's gap over paired resamples: every class is averaged over
// the same resampled seeds. Each resample has its own generator, so the result does not depend
// on which worker drew it.
double bootstrap_gap(const TrackingScorer& scorer, std::size_t best, const ConfirmOptions& o) {
  const std::size_t n = scorer.seeds().size();
  const std::size_t resamples = std::max<std::size_t>(o.bootstrap_resamples, 1);
  std::vector<double> gaps(resamples, 0.0);
  const auto run = [&](std::size_t first, std::size_t last) {
    for (std::size_t b = first; b < last; ++b) {
      std::mt19937_64 generator(o.rng_seed ^ (0x9e3779b97f4a7c15ULL * (b + 1)));
      std::array<double, class_count> sums{};
      for (std::size_t k = 0; k < n; ++k) {
        const auto lengths = scorer.lengths(static_cast<std::size_t>(generator() % n));
        for (std::size_t c = 0; c < class_count; ++c)
          sums[c] += lengths[c];
      }
      gaps[b] = gap_of(sums, best);
    }
  };
  pool::run_chunks(resamples, 4, run);
  std::sort(gaps.begin(), gaps.end());
  const auto rank =
      static_cast<std::size_t>(std::ceil(bootstrap_quantile * static_cast<double>(resamples)));
  return gaps[rank == 0 ? 0 : rank - 1];
}

struct HalfResult {
  double worst_gap = std::numeric_limits<double>::infinity();
  std::string worst_half;
  std::size_t smallest = std::numeric_limits<std::size_t>::max();
};

// The best class's gap within each half of the seeds split at the median of each voxel axis.
HalfResult split_halves(const TrackingScorer& scorer, std::size_t best) {
  const auto seeds = scorer.seeds();
  HalfResult out;
  std::vector<std::size_t> order(seeds.size());
  for (std::size_t axis = 0; axis < 3; ++axis) {
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return seeds[a].position[axis] < seeds[b].position[axis];
    });
    const std::size_t middle = order.size() / 2;
    const std::array<std::span<const std::size_t>, 2> halves{
        std::span<const std::size_t>(order.data(), middle),
        std::span<const std::size_t>(order.data() + middle, order.size() - middle)};
    for (std::size_t h = 0; h < 2; ++h) {
      out.smallest = std::min(out.smallest, halves[h].size());
      const double gap = gap_of(class_means(scorer, halves[h]), best);
      if (gap < out.worst_gap) {
        out.worst_gap = gap;
        out.worst_half = fmt::format("{} {}", h == 0 ? "low" : "high", axis_names[axis]);
      }
    }
  }
  return out;
}

ClassVerdict verdict_of(const std::vector<Candidate>& candidates, std::size_t class_index,
                        double mean_length) {
  const Candidate& c = candidates[candidate_classes()[class_index].representative];
  return {c.label, c.matrix, c.is_identity, mean_length};
}

}  // namespace

std::vector<std::string> warn_reasons(const Evidence& e, const ConfirmOptions& options) {
  std::vector<std::string> reasons;
  if (e.seeds == 0) {
    reasons.push_back(fmt::format(
        "no seeds: no coherent anisotropic voxel with FA >= {:.2f} ({} voxel(s) in the mask)",
        options.seed_fa, e.mask_voxels));
  } else {
    if (!(e.best_length > 0.0)) {
      reasons.emplace_back("no streamline left its seed voxel in any class");
    }
    if (!(e.relative_gap >= options.min_relative_gap)) {
      reasons.push_back(fmt::format("relative gap {:.3f} is below {:.2f}", e.relative_gap,
                                    options.min_relative_gap));
    }
    if (!(e.bootstrap_gap_5 >= options.min_bootstrap_gap)) {
      reasons.push_back(fmt::format("bootstrap 5% gap {:.3f} is below {:.2f}", e.bootstrap_gap_5,
                                    options.min_bootstrap_gap));
    }
    if (e.smallest_half < options.min_seeds_per_half) {
      reasons.push_back(
          fmt::format("too few seeds to replicate: {} seed(s), {} in the smallest half ({} needed)",
                      e.seeds, e.smallest_half, options.min_seeds_per_half));
    } else if (!(e.worst_half_gap >= 0.0)) {
      reasons.push_back(fmt::format("{} does not win in the {} half of the seeds (gap {:.3f})",
                                    e.best_label, e.worst_half, e.worst_half_gap));
    }
  }
  if (!e.coherence_step_valid) {
    reasons.emplace_back("the coherence cross-check needs a positive, finite probe length");
  } else if (!e.coherence_sampled) {
    if (e.seeds > 0 || reasons.empty()) {
      reasons.emplace_back("the coherence cross-check has no samples on the mask");
    }
  } else if (!e.coherence_strict) {
    reasons.emplace_back("the coherence cross-check cannot separate its best two classes");
  } else if (!e.coherence_same_class && e.seeds > 0) {
    reasons.push_back(fmt::format("the coherence cross-check ranks {} first, not {}",
                                  e.coherence_label, e.best_label));
  }
  return reasons;
}

Confirmation confirm_flip(const TensorField& field, const Mask* user_mask,
                          const ConfirmOptions& options) {
  const auto start = Clock::now();
  Confirmation out;
  const PackedField packed = pack_field(field);
  std::vector<std::uint8_t> mask = coherent_anisotropy_mask(packed, options.mask_rule);
  if (user_mask != nullptr) {
    for (std::size_t i = 0; i < mask.size(); ++i) {
      if (mask[i] != 0 && !(i < user_mask->size() && (*user_mask)[i])) mask[i] = 0;
    }
  }
  out.mask_voxels =
      static_cast<std::uint64_t>(std::count(mask.begin(), mask.end(), std::uint8_t{1}));

  TrackingScorer tracker(
      packed, draw_seeds(field, mask, options.seed_fa, options.max_seeds, options.rng_seed),
      options.tracking);
  out.seeds = tracker.seeds().size();
  const ClassScores scores = score_classes(tracker, options.frame_map);
  const ClassWinner winner = class_winner(scores);

  const std::vector<Candidate> candidates = all_candidates();
  std::vector<std::size_t> order(class_count);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return scores[a].value > scores[b].value; });
  for (const std::size_t c : order)
    out.classes.push_back(verdict_of(candidates, c, scores[c].value));
  out.best = verdict_of(candidates, winner.best, scores[winner.best].value);
  out.runner_up = verdict_of(candidates, winner.runner_up, scores[winner.runner_up].value);

  Evidence evidence;
  evidence.seeds = out.seeds;
  evidence.mask_voxels = out.mask_voxels;
  evidence.best_label = out.best.label;
  evidence.best_length = out.best.mean_length_mm;
  if (out.seeds > 0) {
    std::array<double, class_count> means{};
    for (std::size_t c = 0; c < class_count; ++c)
      means[c] = scores[c].value;
    out.relative_gap = std::max(gap_of(means, winner.best), 0.0);
    out.bootstrap_gap_5 = bootstrap_gap(tracker, winner.best, options);
    const HalfResult halves = split_halves(tracker, winner.best);
    out.worst_half_gap = halves.worst_gap;
    evidence.smallest_half = halves.smallest;
    evidence.worst_half = halves.worst_half;
  }
  evidence.relative_gap = out.relative_gap;
  evidence.bootstrap_gap_5 = out.bootstrap_gap_5;
  evidence.worst_half_gap = out.worst_half_gap;

  // The cross-check: the one-step coherence index on the same mask must pick the same class.
  const double step = options.coherence_step;
  evidence.coherence_step_valid = std::isfinite(step) && step > 0.0;
  if (evidence.coherence_step_valid && out.seeds > 0) {
    // Estimated at the seeds, a random sample of the mask: the index over the whole mask costs
    // as much as the coherence verdict itself and ranks the same way. Every voxel of the mask
    // has a fitted direction, so the mask is the set of voxels the probes may read.
    std::vector<std::size_t> sample;
    for (const Seed& seed : tracker.seeds())
      sample.push_back(seed.voxel);
    CoherenceClassScorer coherence(field, std::move(mask), step, std::move(sample));
    const ClassScores probe = score_classes(coherence, options.frame_map);
    const ClassWinner first = class_winner(probe);
    evidence.coherence_sampled = probe[first.best].samples > 0;
    evidence.coherence_strict = first.strict;
    if (evidence.coherence_sampled) {
      out.coherence_best = verdict_of(candidates, first.best, 0.0).label;
    }
    evidence.coherence_same_class = first.best == winner.best;
    out.coherence_agrees = evidence.coherence_sampled && first.strict && first.best == winner.best;
  }
  evidence.coherence_label = out.coherence_best;

  out.reasons = warn_reasons(evidence, options);
  if (out.reasons.empty()) {
    if (winner.best == 0) {
      out.decision = Status::Pass;
    } else {
      out.decision = Status::Flag;
      out.recommended_transform = out.best.matrix;
      out.recommended_label = out.best.label;
    }
  }
  out.elapsed = std::max(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start),
                         std::chrono::nanoseconds{0});
  return out;
}

}  // namespace quorvex_core
