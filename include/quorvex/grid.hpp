// The voxel grid every per-voxel stage shares: its shape, the mask and the two voxel orders.
//
// Storage order is the image file's: x varies fastest, so one volume is one contiguous run.
// Grid order is the fitted field's: voxel (x, y, z) at (x * ny + y) * nz + z, so a line along z
// is contiguous. Every per-voxel vector below (masks, fitted fields) is in grid order.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace quorvex_core {

/// An allocator whose `resize(n)` leaves the new elements unwritten (a value given is still
/// copied in): a per-voxel array written in full on the pool has its fresh pages first touched
/// by every worker instead of zeroed by one.
template <class T>
struct UnwrittenAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UnwrittenAllocator<U>;
  };
  UnwrittenAllocator() = default;
  template <class U>
  explicit UnwrittenAllocator(const UnwrittenAllocator<U>& /*other*/) noexcept {}
  template <class U, class... Args>
  void construct(U* at, Args&&... args) {
    if constexpr (sizeof...(Args) == 0) {
      ::new (static_cast<void*>(at)) U;
    } else {
      ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
  }
};

/// A per-voxel array whose elements the pool writes.
template <class T>
using FieldArray = std::vector<T, UnwrittenAllocator<T>>;

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
