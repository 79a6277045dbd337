// The fibre-coherence index: how well each voxel's direction agrees with the directions one
// step ahead of and behind it along itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "quorvex/gradient.hpp"
#include "quorvex/volume.hpp"

namespace quorvex_core {

struct CoherenceScore {
  double coherence = 0.0;
  std::uint64_t n_samples = 0;
};

/// Grid shape (nx, ny, nz); flattened grids use voxel (x, y, z) at (x * ny + y) * nz + z.
using GridShape = std::array<std::size_t, 3>;

/// Mean over all probes of |v . a/|a||, with a the sign-aligned trilinear average of the masked
/// neighbours' directions at x +/- step * v. Directions are in voxel units along the voxel axes.
/// Blind to the sign of every vector. `directions` and `mask` hold at least nx * ny * nz entries.
/// Runs on the shared pool (sequentially if the pool cannot run).
[[nodiscard]] CoherenceScore coherence_index(const GridShape& shape,
                                             std::span<const Vec3> directions, const Mask& mask,
                                             double step);

}  // namespace quorvex_core
