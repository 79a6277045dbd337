// Coherence index: a map-reduce over masked voxels with fixed chunking, so the sum is the same
// whatever the scheduling.
#include "quorvex/coherence.hpp"

#include <cmath>
#include <vector>

#include "quorvex/pool.hpp"

namespace quorvex_core {
namespace {

constexpr double min_length = 1e-9;
// Voxels per chunk: large enough to amortise scheduling, small enough to balance two to
// sixty-four workers on a typical brain grid.
constexpr std::size_t chunk_voxels = 8192;

struct Partial {
  double sum = 0.0;
  std::uint64_t samples = 0;
  std::uint64_t probes = 0;
};

double length(const Vec3& v) {
  return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
}

// One probe from direction `v` at point `p`: the score, or a negative value when the probe found
// nothing to compare with.
double probe(const GridShape& shape, std::span<const Vec3> directions, const Mask& mask,
             const Vec3& v, const Vec3& p) {
  const double fx = std::floor(p[0]);
  const double fy = std::floor(p[1]);
  const double fz = std::floor(p[2]);
  const std::array<double, 3> frac{p[0] - fx, p[1] - fy, p[2] - fz};
  const std::array<double, 3> base{fx, fy, fz};
  Vec3 acc{0.0, 0.0, 0.0};
  double weight_sum = 0.0;
  for (unsigned corner = 0; corner < 8; ++corner) {
    double w = 1.0;
    std::array<std::size_t, 3> at{};
    bool inside = true;
    for (std::size_t axis = 0; axis < 3; ++axis) {
      const bool up = ((corner >> axis) & 1U) != 0;
      w *= up ? frac[axis] : 1.0 - frac[axis];
      const double coordinate = base[axis] + (up ? 1.0 : 0.0);
      if (!(coordinate >= 0.0 && coordinate < static_cast<double>(shape[axis]))) {
        inside = false;
        break;
      }
      at[axis] = static_cast<std::size_t>(coordinate);
    }
    if (!inside || !(w > 0.0)) continue;
    const std::size_t index = (at[0] * shape[1] + at[1]) * shape[2] + at[2];
    if (!mask[index]) continue;
    const Vec3& u = directions[index];
    if (!(length(u) >= min_length)) continue;
    const double sigma = v[0] * u[0] + v[1] * u[1] + v[2] * u[2] < 0.0 ? -1.0 : 1.0;
    for (std::size_t k = 0; k < 3; ++k)
      acc[k] += sigma * w * u[k];
    weight_sum += w;
  }
  if (!(weight_sum > 0.0)) return -1.0;
  const Vec3 a{acc[0] / weight_sum, acc[1] / weight_sum, acc[2] / weight_sum};
  const double a_length = length(a);
  if (!(a_length >= min_length)) return -1.0;
  return std::fabs((v[0] * a[0] + v[1] * a[1] + v[2] * a[2]) / a_length);
}

}  // namespace

CoherenceScore coherence_index(const GridShape& shape, std::span<const Vec3> directions,
                               const Mask& mask, double step) {
  const std::size_t n = shape[0] * shape[1] * shape[2];
  const std::size_t chunks = (n + chunk_voxels - 1) / chunk_voxels;
  std::vector<Partial> partials(chunks);
  const auto run = [&](std::size_t first, std::size_t last) {
    for (std::size_t c = first; c < last; ++c) {
      Partial part;
      const std::size_t end = std::min(n, (c + 1) * chunk_voxels);
      for (std::size_t i = c * chunk_voxels; i < end; ++i) {
        if (!mask[i]) continue;
        const Vec3& v = directions[i];
        if (!(length(v) >= min_length)) continue;
        part.probes += 2;
        const double x = static_cast<double>(i / (shape[1] * shape[2]));
        const double y = static_cast<double>((i / shape[2]) % shape[1]);
        const double z = static_cast<double>(i % shape[2]);
        // The voxel's two probes are added together first: a + b == b + a exactly, so a
        // field and its negation (whose probes swap places) give bit-identical sums.
        double voxel_sum = 0.0;
        for (const double s : {step, -step}) {
          const double score =
              probe(shape, directions, mask, v, {x + s * v[0], y + s * v[1], z + s * v[2]});
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
  // Every chunk overwrites its own slot, so a pool failure part-way is mended by running all
  // of them here.
  if (!pool::parallel_chunks(chunks, 1, run)) run(0, chunks);
  Partial total;
  for (const Partial& part : partials) {
    total.sum += part.sum;
    total.samples += part.samples;
    total.probes += part.probes;
  }
  if (total.probes == 0) return CoherenceScore{};
  return CoherenceScore{total.sum / static_cast<double>(total.probes), total.samples};
}

}  // namespace quorvex_core
