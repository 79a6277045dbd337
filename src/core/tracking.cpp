// The coherent anisotropic mask, seed drawing and streamline tracking of the confirmed verdict.
#include "tracking.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

#include "quorvex/pool.hpp"

namespace quorvex_core {
namespace {

// x-slabs per task of the mask pass, and seeds per task of the tracking.
constexpr std::size_t slab_grain = 2;
constexpr std::size_t packed_grain = 1U << 16U;
constexpr std::size_t seed_grain = 64;
constexpr double min_direction_length = 1e-9;

bool anisotropic(const TensorField& field, std::size_t i, double fa) {
  return field.valid[i] != 0 && field.fa[i] >= fa;
}

double dot(const Vec3& a, const Vec3& b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// A uniform double in [0, 1) from 53 bits of the generator; std's distributions are not the same
// on every standard library, and the seeds must be.
double unit_uniform(std::mt19937_64& generator) {
  return static_cast<double>(generator() >> 11U) * 0x1.0p-53;
}

}  // namespace

PackedField pack_field(const TensorField& field) {
  PackedField packed{field.shape, std::vector<std::array<float, 4>>(field.v1.size())};
  pool::run_chunks(field.v1.size(), packed_grain, [&](std::size_t first, std::size_t last) {
    for (std::size_t i = first; i < last; ++i) {
      const Vec3& v = field.v1[i];
      packed.voxels[i] = {static_cast<float>(v[0]), static_cast<float>(v[1]),
                          static_cast<float>(v[2]),
                          field.valid[i] != 0 ? static_cast<float>(field.fa[i]) : -1.0F};
    }
  });
  return packed;
}

std::vector<std::uint8_t> coherent_anisotropy_mask(const PackedField& field,
                                                   const CoherentMaskRule& rule) {
  const GridShape& shape = field.shape;
  const auto& packed = field.voxels;
  const auto min_fa = static_cast<float>(rule.fa);
  const auto stride_y = static_cast<std::ptrdiff_t>(shape[2]);
  const auto stride_x = static_cast<std::ptrdiff_t>(shape[1] * shape[2]);
  std::vector<std::uint8_t> inside(packed.size(), 0);
  const auto run = [&](std::size_t first, std::size_t last) {
    for (std::size_t x = first; x < last; ++x) {
      for (std::size_t y = 0; y < shape[1]; ++y) {
        for (std::size_t z = 0; z < shape[2]; ++z) {
          const std::size_t i = grid_index(shape, x, y, z);
          const auto& v = packed[i];
          if (!(v[3] >= min_fa)) continue;
          float count = -1.0F;  // the voxel itself is visited below
          float alignment = 0.0F;
          // Every neighbour is added without a branch: weight 0 unless anisotropic.
          const auto add = [&](std::size_t j) {
            const auto& u = packed[j];
            const float weight = u[3] >= min_fa ? 1.0F : 0.0F;
            count += weight;
            alignment +=
                j == i ? 0.0F : weight * std::fabs(v[0] * u[0] + v[1] * u[1] + v[2] * u[2]);
          };
          const bool interior =
              x > 0 && x + 1 < shape[0] && y > 0 && y + 1 < shape[1] && z > 0 && z + 1 < shape[2];
          if (interior) {
            // Fixed bounds let the compiler unroll the 27 visits.
            for (std::ptrdiff_t dx = -1; dx <= 1; ++dx) {
              for (std::ptrdiff_t dy = -1; dy <= 1; ++dy) {
                const auto row = static_cast<std::ptrdiff_t>(i) + dx * stride_x + dy * stride_y;
                for (std::ptrdiff_t dz = -1; dz <= 1; ++dz)
                  add(static_cast<std::size_t>(row + dz));
              }
            }
          } else {
            for (std::size_t nx = x == 0 ? 0 : x - 1; nx <= std::min(x + 1, shape[0] - 1); ++nx) {
              for (std::size_t ny = y == 0 ? 0 : y - 1; ny <= std::min(y + 1, shape[1] - 1); ++ny) {
                for (std::size_t nz = z == 0 ? 0 : z - 1; nz <= std::min(z + 1, shape[2] - 1);
                     ++nz) {
                  add(grid_index(shape, nx, ny, nz));
                }
              }
            }
          }
          inside[i] = count >= static_cast<float>(rule.min_neighbours) && count > 0.0F &&
                      alignment >= static_cast<float>(rule.min_alignment) * count;
        }
      }
    }
  };
  // Each slab writes only its own voxels, so a redo is harmless.
  pool::run_chunks(shape[0], slab_grain, run);
  return inside;
}

std::vector<Seed> draw_seeds(const TensorField& field, std::span<const std::uint8_t> mask,
                             double seed_fa, std::size_t max_seeds, std::uint64_t rng_seed) {
  std::vector<std::size_t> pool_voxels;
  for (std::size_t i = 0; i < mask.size() && i < field.fa.size(); ++i) {
    if (mask[i] != 0 && anisotropic(field, i, seed_fa)) pool_voxels.push_back(i);
  }
  std::mt19937_64 generator(rng_seed);
  // A partial Fisher-Yates shuffle picks the subset; grid order afterwards makes the seed list
  // independent of the draw order.
  const std::size_t n = std::min(max_seeds, pool_voxels.size());
  for (std::size_t k = 0; k < n && pool_voxels.size() > max_seeds; ++k) {
    const std::size_t pick = k + static_cast<std::size_t>(generator() % (pool_voxels.size() - k));
    std::swap(pool_voxels[k], pool_voxels[pick]);
  }
  pool_voxels.resize(n);
  std::sort(pool_voxels.begin(), pool_voxels.end());
  const GridShape& shape = field.shape;
  std::vector<Seed> seeds;
  seeds.reserve(n);
  for (const std::size_t i : pool_voxels) {
    const Vec3 centre{static_cast<double>(i / (shape[1] * shape[2])),
                      static_cast<double>((i / shape[2]) % shape[1]),
                      static_cast<double>(i % shape[2])};
    Seed seed{i, centre};
    for (double& c : seed.position)
      c += unit_uniform(generator) - 0.5;
    seeds.push_back(seed);
  }
  return seeds;
}

double track_side(const PackedField& field, const Mat3& transform, Vec3 position, Vec3 direction,
                  const TrackingRule& rule) noexcept {
  const GridShape& shape = field.shape;
  const std::array<double, 3> size{std::fabs(rule.voxel_size[0]), std::fabs(rule.voxel_size[1]),
                                   std::fabs(rule.voxel_size[2])};
  const double step = rule.step_fraction * std::min({size[0], size[1], size[2]});
  if (!(step > 0.0) || !std::isfinite(step)) return 0.0;
  const Vec3 advance{step / size[0], step / size[1], step / size[2]};
  const double min_cos = std::cos(rule.max_turn_deg * std::numbers::pi / 180.0);
  const auto stop_fa = static_cast<float>(rule.stop_fa);
  const auto max_steps = static_cast<std::size_t>(std::floor(rule.max_length_mm / step + 1e-9));
  std::size_t steps = 0;
  for (; steps < max_steps; ++steps) {
    Vec3 next{};
    std::array<std::size_t, 3> voxel{};
    bool outside = false;
    for (std::size_t a = 0; a < 3; ++a) {
      next[a] = position[a] + advance[a] * direction[a];
      const double rounded = std::floor(next[a] + 0.5);
      // Written so that NaN is outside too.
      if (!(rounded >= 0.0 && rounded < static_cast<double>(shape[a]))) {
        outside = true;
        break;
      }
      voxel[a] = static_cast<std::size_t>(rounded);
    }
    if (outside) break;
    const auto& packed = field.voxels[grid_index(shape, voxel[0], voxel[1], voxel[2])];
    // An invalid fit carries FA -1, so this also stops there.
    if (!(packed[3] >= stop_fa)) break;
    Vec3 u = quorvex_core::apply(transform, Vec3{packed[0], packed[1], packed[2]});
    const double length = std::sqrt(dot(u, u));
    if (!(length > min_direction_length)) break;
    double alignment = dot(u, direction) / length;
    const double sign = alignment < 0.0 ? -1.0 : 1.0;
    alignment *= sign;
    if (!(alignment >= min_cos)) break;
    for (std::size_t a = 0; a < 3; ++a)
      u[a] *= sign / length;
    position = next;
    direction = u;
  }
  return static_cast<double>(steps) * step;
}

TrackingScorer::TrackingScorer(const PackedField& field, std::vector<Seed> seeds,
                               const TrackingRule& rule)
    : field_(field),
      seeds_(std::move(seeds)),
      rule_(rule),
      lengths_(class_count * seeds_.size(), 0.0) {}

double TrackingScorer::seed_length(std::size_t s, const Mat3& transform) const noexcept {
  const Seed& seed = seeds_[s];
  const auto& packed = field_.voxels[seed.voxel];
  Vec3 d = quorvex_core::apply(transform, Vec3{packed[0], packed[1], packed[2]});
  const double n = std::sqrt(dot(d, d));
  if (!(n > min_direction_length)) return 0.0;
  for (double& c : d)
    c /= n;
  const Vec3 back{-d[0], -d[1], -d[2]};
  return track_side(field_, transform, seed.position, d, rule_) +
         track_side(field_, transform, seed.position, back, rule_);
}

ClassScore TrackingScorer::mean_of(std::size_t class_index) const noexcept {
  if (seeds_.empty()) return {};
  double sum = 0.0;
  for (std::size_t s = 0; s < seeds_.size(); ++s)
    sum += lengths_[s * class_count + class_index];
  return {sum / static_cast<double>(seeds_.size()), seeds_.size()};
}

ClassScore TrackingScorer::score(std::size_t class_index, const Mat3& transform) {
  // Each seed's length lands in its own slot, so the mean is the same for any schedule.
  pool::run_chunks(seeds_.size(), seed_grain, [&](std::size_t first, std::size_t last) {
    for (std::size_t s = first; s < last; ++s)
      lengths_[s * class_count + class_index] = seed_length(s, transform);
  });
  return mean_of(class_index);
}

ClassScores TrackingScorer::score_all(const std::array<Mat3, class_count>& transforms) {
  const std::size_t n = seeds_.size();
  pool::run_chunks(n, seed_grain, [&](std::size_t first, std::size_t last) {
    for (std::size_t s = first; s < last; ++s) {
      for (std::size_t c = 0; c < class_count; ++c)
        lengths_[s * class_count + c] = seed_length(s, transforms[c]);
    }
  });
  ClassScores scores{};
  for (std::size_t c = 0; c < class_count; ++c)
    scores[c] = mean_of(c);
  return scores;
}

std::span<const double, class_count> TrackingScorer::lengths(std::size_t seed) const noexcept {
  return std::span<const double, class_count>(lengths_.data() + seed * class_count, class_count);
}

}  // namespace quorvex_core
