// Coherence index: a map-reduce over the masked voxels with fixed chunking, so the sum is the
// same whatever the scheduling.
#include "quorvex/coherence.hpp"

#include <cmath>
#include <cstdint>

#include "quorvex/interrupt.hpp"
#include "quorvex/pool.hpp"

namespace quorvex_core {
namespace {

constexpr double min_length = 1e-9;
// Masked voxels per chunk: large enough to amortise scheduling, small enough to balance the
// workers on a typical white-matter mask.
constexpr std::size_t chunk_voxels = 2048;
// Voxels per task of the scorer's scan of the mask.
constexpr std::size_t scan_chunk = 65536;

struct Partial {
  double sum = 0.0;
  std::uint64_t samples = 0;
  std::uint64_t probes = 0;
};

double length(const Vec3& v) {
  return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
}

// What a probe finds at a voxel: its direction, if it has one to compare with.
struct Found {
  Vec3 u;
  bool found;
};

// What the slots say voxel i holds: its direction in `packed`, whose last entry is the zero a
// voxel without one points at.
auto slot_lookup(const FieldArray<std::int32_t>& slots, std::span<const Vec3> packed) {
  return [&slots, packed](std::size_t i) -> Found {
    const std::int32_t slot = slots[i];
    return {packed[slot < 0 ? packed.size() - 1 : static_cast<std::size_t>(slot)], slot >= 0};
  };
}

// The two probes from direction `v` at points `p`: each score, or a negative value where a probe
// found nothing to compare with. Corners are visited with x varying fastest. `neighbour(i)`
// gives what voxel i holds. A corner outside the grid, of zero weight or without a direction
// adds a zero weight and a zero direction, which leaves every sum as skipping it would (at most
// the sign of a zero, which the score's absolute value drops): a mask's ragged edge would
// mispredict the branches that skip it. The two probes go side by side, each computed exactly
// as alone, so that their chains of dependent adds, divisions and roots overlap.
template <class Neighbour>
std::array<double, 2> probe_pair(const GridShape& shape, const Neighbour& neighbour, const Vec3& v,
                                 const std::array<Vec3, 2>& p) {
  constexpr std::size_t pair = 2;
  std::array<std::array<std::int64_t, 3>, pair> base{};
  std::array<std::array<std::array<double, 2>, 3>, pair> weight{};
  std::array<std::array<std::array<bool, 2>, 3>, pair> inside{};
  for (std::size_t q = 0; q < pair; ++q) {
    for (std::size_t axis = 0; axis < 3; ++axis) {
      const double floor = std::floor(p[q][axis]);
      const double f = p[q][axis] - floor;
      const auto b = static_cast<std::int64_t>(floor);
      const auto size = static_cast<std::int64_t>(shape[axis]);
      base[q][axis] = b;
      weight[q][axis] = {1.0 - f, f};
      inside[q][axis] = {b >= 0 && b < size, b + 1 >= 0 && b + 1 < size};
    }
  }
  std::array<Vec3, pair> acc{};
  std::array<double, pair> weight_sum{};
  for (std::size_t dz = 0; dz < 2; ++dz) {
    for (std::size_t dy = 0; dy < 2; ++dy) {
      for (std::size_t dx = 0; dx < 2; ++dx) {
        for (std::size_t q = 0; q < pair; ++q) {
          const bool in = inside[q][2][dz] && inside[q][1][dy] && inside[q][0][dx];
          const double w = weight[q][0][dx] * weight[q][1][dy] * weight[q][2][dz];
          // Unsigned, so a corner far outside wraps instead of overflowing; it is not read.
          const auto at = [&](std::size_t axis, std::size_t d) {
            return static_cast<std::size_t>(base[q][axis]) + d;
          };
          const std::size_t index = (at(0, dx) * shape[1] + at(1, dy)) * shape[2] + at(2, dz);
          const Found there = neighbour(in ? index : 0);
          const bool counted = in && there.found && w > 0.0;
          const Vec3 u = counted ? there.u : Vec3{0.0, 0.0, 0.0};
          const double weight_used = counted ? w : 0.0;
          const double sigma = v[0] * u[0] + v[1] * u[1] + v[2] * u[2] < 0.0 ? -1.0 : 1.0;
          for (std::size_t k = 0; k < 3; ++k)
            acc[q][k] += sigma * weight_used * u[k];
          weight_sum[q] += weight_used;
        }
      }
    }
  }
  std::array<double, pair> score{-1.0, -1.0};
  for (std::size_t q = 0; q < pair; ++q) {
    if (!(weight_sum[q] > 0.0)) continue;
    const Vec3 a{acc[q][0] / weight_sum[q], acc[q][1] / weight_sum[q], acc[q][2] / weight_sum[q]};
    const double a_length = length(a);
    if (!(a_length >= min_length)) continue;
    score[q] = std::fabs((v[0] * a[0] + v[1] * a[1] + v[2] * a[2]) / a_length);
  }
  return score;
}

}  // namespace

// The slots and the scan of the mask by chunks on the pool, each chunk's masked voxels joined in
// order after.
CoherenceScorer::CoherenceScorer(const GridShape& shape, const Mask& mask) : shape_(shape) {
  const std::size_t n = voxel_count(shape);
  slot_.resize(n);
  const std::size_t chunks = (n + scan_chunk - 1) / scan_chunk;
  std::vector<std::vector<std::size_t>> found(chunks);
  pool::run_chunks(chunks, 1, [&](std::size_t first, std::size_t last) {
    for (std::size_t c = first; c < last; ++c) {
      const std::size_t end = std::min(n, (c + 1) * scan_chunk);
      std::fill(slot_.begin() + static_cast<std::ptrdiff_t>(c * scan_chunk),
                slot_.begin() + static_cast<std::ptrdiff_t>(end), -1);
      found[c].clear();
      for (std::size_t i = c * scan_chunk; i < end; ++i) {
        if (mask[i]) found[c].push_back(i);
      }
    }
  });
  for (const auto& part : found)
    masked_.insert(masked_.end(), part.begin(), part.end());
  scored_ = masked_;
  // One more, always zero: where a voxel without a direction points.
  packed_.resize(masked_.size() + 1, Vec3{0.0, 0.0, 0.0});
  found_.assign(masked_.size(), 0);
}

CoherenceScorer::CoherenceScorer(const GridShape& shape, std::vector<std::uint8_t> usable,
                                 std::vector<std::size_t> scored)
    : shape_(shape), scored_(std::move(scored)), usable_(std::move(usable)) {}

CoherenceScore CoherenceScorer::score(std::span<const Vec3> directions, double step) {
  for (std::size_t k = 0; k < masked_.size(); ++k)
    packed_[k] = directions[masked_[k]];
  return score_masked(std::span(packed_).first(masked_.size()), step);
}

void CoherenceScorer::set_slots(std::span<const Vec3> packed) {
  for (std::size_t k = 0; k < masked_.size(); ++k) {
    const std::uint8_t found = length(packed[k]) >= min_length ? 1 : 0;
    if (found != found_[k]) {
      found_[k] = found;
      slot_[masked_[k]] = found != 0 ? static_cast<std::int32_t>(k) : -1;
    }
  }
}

bool CoherenceScorer::same_slots(std::span<const Vec3> packed) const {
  for (std::size_t k = 0; k < masked_.size(); ++k) {
    if ((length(packed[k]) >= min_length) != (found_[k] != 0)) return false;
  }
  return true;
}

CoherenceScore CoherenceScorer::score_masked(std::span<const Vec3> masked_directions, double step) {
  for (std::size_t k = 0; k < masked_.size(); ++k)
    packed_[k] = masked_directions[k];
  set_slots(packed_);
  return score_with(slot_lookup(slot_, packed_), step);
}

std::vector<CoherenceScore> CoherenceScorer::score_masked_sets(
    std::size_t calls, const std::function<void(std::size_t, std::span<Vec3>)>& directions,
    double step) {
  std::vector<CoherenceScore> scores(calls);
  if (calls == 0) return scores;
  const std::size_t n = masked_.size();
  const std::size_t workers = std::min(calls, pool::worker_count());
  // Each worker's directions, with the zero a voxel without one points at after them.
  std::vector<std::vector<Vec3>> sets(workers, std::vector<Vec3>(n + 1, Vec3{0.0, 0.0, 0.0}));
  directions(0, std::span(sets[0]).first(n));
  set_slots(sets[0]);
  std::vector<std::uint8_t> shared(calls, 0);
  const interrupt::Token token = interrupt::Token::current();
  for (std::size_t first = 0; first < calls && !token.stop_requested(); first += workers) {
    // Each call writes only its own set and score, so a redo is harmless.
    pool::run_chunks(std::min(workers, calls - first), 1, [&](std::size_t a, std::size_t b) {
      for (std::size_t j = a; j < b; ++j) {
        directions(first + j, std::span(sets[j]).first(n));
        if (!same_slots(sets[j])) continue;
        scores[first + j] = score_with(slot_lookup(slot_, sets[j]), step, true);
        shared[first + j] = 1;
      }
    });
  }
  for (std::size_t call = 0; call < calls && !token.stop_requested(); ++call) {
    if (shared[call] != 0) continue;
    directions(call, std::span(packed_).first(n));
    scores[call] = score_masked(std::span(packed_).first(n), step);
  }
  return scores;
}

CoherenceScore CoherenceScorer::score(std::span<const Vec3> raw, const Mat3& transform,
                                      double step) const {
  const auto neighbour = [&](std::size_t i) -> Found {
    if (usable_[i] == 0) return {Vec3{0.0, 0.0, 0.0}, false};
    return {apply(transform, raw[i]), true};
  };
  return score_with(neighbour, step);
}

template <class Neighbour>
CoherenceScore CoherenceScorer::score_with(const Neighbour& neighbour, double step,
                                           bool serial) const {
  const std::size_t chunks = (scored_.size() + chunk_voxels - 1) / chunk_voxels;
  std::vector<Partial> partials(chunks);
  const std::size_t plane = shape_[1] * shape_[2];
  const auto run = [&](std::size_t first, std::size_t last) {
    for (std::size_t c = first; c < last; ++c) {
      Partial part;
      const std::size_t end = std::min(scored_.size(), (c + 1) * chunk_voxels);
      for (std::size_t k = c * chunk_voxels; k < end; ++k) {
        const std::size_t i = scored_[k];
        const Found found = neighbour(i);
        if (!found.found) continue;
        const Vec3 v = found.u;
        part.probes += 2;
        const Vec3 at{static_cast<double>(i / plane),
                      static_cast<double>((i / shape_[2]) % shape_[1]),
                      static_cast<double>(i % shape_[2])};
        // The voxel's two probes are added together first: a + b == b + a exactly, so a field
        // and its negation (whose probes swap places) give bit-identical sums.
        double voxel_sum = 0.0;
        const auto point = [&](double s) {
          return Vec3{at[0] + s * v[0], at[1] + s * v[1], at[2] + s * v[2]};
        };
        for (const double score : probe_pair(shape_, neighbour, v, {point(step), point(-step)})) {
          if (score >= 0.0) {
            voxel_sum += score;
            ++part.samples;
          }
        }
        part.sum += voxel_sum;
      }
      partials[c] = part;
    }
  };
  // Every chunk overwrites its own slot, so a redo after a pool failure is harmless.
  if (serial) {
    run(0, chunks);
  } else {
    pool::run_chunks(chunks, 1, run);
  }
  Partial total;
  for (const Partial& part : partials) {
    total.sum += part.sum;
    total.samples += part.samples;
    total.probes += part.probes;
  }
  if (total.probes == 0) return CoherenceScore{};
  return CoherenceScore{total.sum / static_cast<double>(total.probes), total.samples};
}

CoherenceScore coherence_index(const GridShape& shape, std::span<const Vec3> directions,
                               const Mask& mask, double step) {
  return CoherenceScorer(shape, mask).score(directions, step);
}

}  // namespace quorvex_core
