// The tensor fit's unit of work, shared by the fit on the pool and by the streamed read's idle
// tail: a tile of x-rows, solved from the rows' samples or from sums made on the way.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "quorvex/grid.hpp"

namespace quorvex_core {

// Declared only: this header sits below the fit it serves.
struct TensorDesign;
struct TensorField;

/// The tiles of a grid, in the order the fit numbers them.
[[nodiscard]] std::size_t tile_count(const GridShape& shape) noexcept;

struct TileInputs {
  GridShape shape{};
  const TensorDesign* design = nullptr;
  /// Each design row's samples; unused when `sums` is given.
  std::span<const float* const> rows;
  /// The volumes averaged into s0.
  std::span<const float* const> reference;
  /// The coefficient sums of every voxel (6 x voxels, coefficient-major), or null.
  const double* sums = nullptr;
  double min_signal = 1.0;
};

/// Solves tiles into a field sized for `inputs.shape`, with its own scratch.
class TileSolver {
 public:
  explicit TileSolver(const TileInputs& inputs);
  void solve(std::size_t tile, TensorField& field);

 private:
  void prefetch_next(std::size_t start, std::size_t count, std::size_t n) const;

  const TileInputs& in_;
  std::vector<double> logs_;
  std::vector<double> s_ref_;
  std::vector<double> coefficients_;
};

}  // namespace quorvex_core
