// The voxel grid every per-voxel stage shares: its shape, the mask and the two voxel orders.
//
// Storage order is the image file's: x varies fastest, so one volume is one contiguous run.
// Grid order is the fitted field's: voxel (x, y, z) at (x * ny + y) * nz + z, so a line along z
// is contiguous. Every per-voxel vector below (masks, fitted fields) is in grid order.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

namespace quorvex_core {

/// Grid shape (nx, ny, nz).
using GridShape = std::array<std::size_t, 3>;

/// One boolean per voxel of a grid, in grid order.
using Mask = std::vector<bool>;

/// The grid-order index of voxel (x, y, z).
[[nodiscard]] constexpr std::size_t grid_index(const GridShape& shape, std::size_t x, std::size_t y,
                                               std::size_t z) noexcept {
  return (x * shape[1] + y) * shape[2] + z;
}

/// Number of voxels of a grid.
[[nodiscard]] constexpr std::size_t voxel_count(const GridShape& shape) noexcept {
  return shape[0] * shape[1] * shape[2];
}

}  // namespace quorvex_core
