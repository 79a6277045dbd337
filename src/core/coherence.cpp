// Coherence index: a map-reduce over the masked voxels with fixed chunking, so the sum is the
// same whatever the scheduling.
#include "quorvex/coherence.hpp"

#include <cmath>
#include <cstdint>
#include <optional>

#include "quorvex/pool.hpp"

namespace quorvex_core {
namespace {

constexpr double min_length = 1e-9;
// Masked voxels per chunk: large enough to amortise scheduling, small enough to balance the
// workers on a typical white-matter mask.
constexpr std::size_t chunk_voxels = 2048;

struct Partial {
  double sum = 0.0;
  std::uint64_t samples = 0;
  std::uint64_t probes = 0;
};

double length(const Vec3& v) {
  return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
}

// One probe from direction `v` at point `p`: the score, or a negative value when the probe found
// nothing to compare with. Corners are visited with x varying fastest. `neighbour(i)` gives the
// direction of voxel i, or nothing where there is none to compare with.
template <class Neighbour>
double probe(const GridShape& shape, const Neighbour& neighbour, const Vec3& v, const Vec3& p) {
  std::array<std::int64_t, 3> base{};
  std::array<std::array<double, 2>, 3> weight{};
  for (std::size_t axis = 0; axis < 3; ++axis) {
    const double floor = std::floor(p[axis]);
    const double f = p[axis] - floor;
    base[axis] = static_cast<std::int64_t>(floor);
    weight[axis] = {1.0 - f, f};
  }
  const auto inside = [&](std::size_t axis, std::int64_t c) {
    return c >= 0 && c < static_cast<std::int64_t>(shape[axis]);
  };
  Vec3 acc{0.0, 0.0, 0.0};
  double weight_sum = 0.0;
  for (std::int64_t dz = 0; dz < 2; ++dz) {
    const std::int64_t z = base[2] + dz;
    if (!inside(2, z)) continue;
    for (std::int64_t dy = 0; dy < 2; ++dy) {
      const std::int64_t y = base[1] + dy;
      if (!inside(1, y)) continue;
      for (std::int64_t dx = 0; dx < 2; ++dx) {
        const std::int64_t x = base[0] + dx;
        if (!inside(0, x)) continue;
        const double w = weight[0][dx] * weight[1][dy] * weight[2][dz];
        if (!(w > 0.0)) continue;
        const auto index = static_cast<std::size_t>((x * static_cast<std::int64_t>(shape[1]) + y) *
                                                        static_cast<std::int64_t>(shape[2]) +
                                                    z);
        const std::optional<Vec3> found = neighbour(index);
        if (!found) continue;
        const Vec3& u = *found;
        const double sigma = v[0] * u[0] + v[1] * u[1] + v[2] * u[2] < 0.0 ? -1.0 : 1.0;
        for (std::size_t k = 0; k < 3; ++k)
          acc[k] += sigma * w * u[k];
        weight_sum += w;
      }
    }
  }
  if (!(weight_sum > 0.0)) return -1.0;
  const Vec3 a{acc[0] / weight_sum, acc[1] / weight_sum, acc[2] / weight_sum};
  const double a_length = length(a);
  if (!(a_length >= min_length)) return -1.0;
  return std::fabs((v[0] * a[0] + v[1] * a[1] + v[2] * a[2]) / a_length);
}

}  // namespace

CoherenceScorer::CoherenceScorer(const GridShape& shape, const Mask& mask)
    : shape_(shape), slot_(shape[0] * shape[1] * shape[2], -1) {
  for (std::size_t i = 0; i < slot_.size(); ++i) {
    if (mask[i]) masked_.push_back(i);
  }
  scored_ = masked_;
  packed_.resize(masked_.size());
}

CoherenceScorer::CoherenceScorer(const GridShape& shape, std::vector<std::uint8_t> usable,
                                 std::vector<std::size_t> scored)
    : shape_(shape), scored_(std::move(scored)), usable_(std::move(usable)) {}

CoherenceScore CoherenceScorer::score(std::span<const Vec3> directions, double step) {
  for (std::size_t k = 0; k < masked_.size(); ++k)
    packed_[k] = directions[masked_[k]];
  return score_masked(packed_, step);
}

CoherenceScore CoherenceScorer::score_masked(std::span<const Vec3> masked_directions, double step) {
  for (std::size_t k = 0; k < masked_.size(); ++k) {
    packed_[k] = masked_directions[k];
    slot_[masked_[k]] = length(packed_[k]) >= min_length ? static_cast<std::int32_t>(k) : -1;
  }
  const auto neighbour = [&](std::size_t i) -> std::optional<Vec3> {
    const std::int32_t slot = slot_[i];
    if (slot < 0) return std::nullopt;
    return packed_[static_cast<std::size_t>(slot)];
  };
  return score_with(neighbour, step);
}

CoherenceScore CoherenceScorer::score(std::span<const Vec3> raw, const Mat3& transform,
                                      double step) const {
  const auto neighbour = [&](std::size_t i) -> std::optional<Vec3> {
    if (usable_[i] == 0) return std::nullopt;
    return apply(transform, raw[i]);
  };
  return score_with(neighbour, step);
}

template <class Neighbour>
CoherenceScore CoherenceScorer::score_with(const Neighbour& neighbour, double step) const {
  const std::size_t chunks = (scored_.size() + chunk_voxels - 1) / chunk_voxels;
  std::vector<Partial> partials(chunks);
  const std::size_t plane = shape_[1] * shape_[2];
  const auto run = [&](std::size_t first, std::size_t last) {
    for (std::size_t c = first; c < last; ++c) {
      Partial part;
      const std::size_t end = std::min(scored_.size(), (c + 1) * chunk_voxels);
      for (std::size_t k = c * chunk_voxels; k < end; ++k) {
        const std::size_t i = scored_[k];
        const std::optional<Vec3> found = neighbour(i);
        if (!found) continue;
        const Vec3 v = *found;
        part.probes += 2;
        const Vec3 at{static_cast<double>(i / plane),
                      static_cast<double>((i / shape_[2]) % shape_[1]),
                      static_cast<double>(i % shape_[2])};
        // The voxel's two probes are added together first: a + b == b + a exactly, so a field
        // and its negation (whose probes swap places) give bit-identical sums.
        double voxel_sum = 0.0;
        for (const double s : {step, -step}) {
          const double score =
              probe(shape_, neighbour, v, {at[0] + s * v[0], at[1] + s * v[1], at[2] + s * v[2]});
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
  pool::run_chunks(chunks, 1, run);
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
