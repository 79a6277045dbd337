// The 3 x 3 symmetric eigenproblem of the tensor fit: principal direction and FA of a voxel.
#pragma once

#include <array>
#include <cstddef>

#include "quorvex/gradient.hpp"

namespace quorvex_core {

struct VoxelFit {
  Vec3 v1{0.0, 0.0, 0.0};
  double fa = 0.0;
  bool valid = false;
};

/// The tensor of one voxel from its six fitted coefficients (xx, yy, zz, xy, xz, yz), `stride`
/// apart.
[[nodiscard]] VoxelFit fit_voxel(const double* coefficients, std::size_t stride);

/// `fit_voxel` of four neighbouring voxels (coefficients + 0 ... + 3) side by side, bit for bit
/// the same as one at a time.
[[nodiscard]] std::array<VoxelFit, 4> fit_voxels4(const double* coefficients, std::size_t stride);

}  // namespace quorvex_core
