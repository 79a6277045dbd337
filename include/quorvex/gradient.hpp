// The in-memory diffusion gradient table: one direction and one b-value per volume.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "quorvex/error.hpp"

namespace quorvex_core {

/// The frame a gradient table was read in.
enum class InputFormat : std::uint8_t {
  /// A bvec/bval pair: voxel axes with FSL's handedness rule.
  Fsl = 0,
  /// An MRtrix grad file: world axes.
  Mrtrix = 1,
};

using Vec3 = std::array<double, 3>;
/// A 3 x 3 matrix stored row by row, applied to a direction as a column vector (M * g).
using Mat3 = std::array<Vec3, 3>;

constexpr Mat3 identity_matrix{{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}};

/// a * b.
[[nodiscard]] constexpr Mat3 multiply(const Mat3& a, const Mat3& b) noexcept {
  Mat3 out{};
  for (std::size_t r = 0; r < 3; ++r) {
    for (std::size_t c = 0; c < 3; ++c) {
      out[r][c] = a[r][0] * b[0][c] + a[r][1] * b[1][c] + a[r][2] * b[2][c];
    }
  }
  return out;
}

[[nodiscard]] constexpr Mat3 transpose(const Mat3& m) noexcept {
  return {{{m[0][0], m[1][0], m[2][0]}, {m[0][1], m[1][1], m[2][1]}, {m[0][2], m[1][2], m[2][2]}}};
}

/// m * v.
[[nodiscard]] constexpr Vec3 apply(const Mat3& m, const Vec3& v) noexcept {
  return {m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2],
          m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
          m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2]};
}

/// The b-value at or below which a volume counts as a b0 volume.
constexpr double default_b0_threshold = 50.0;
/// How far a direction norm may stray from 1 before it is counted as non-unit.
constexpr double default_norm_tolerance = 0.05;

/// Gradient-norm statistics over the non-b0 volumes.
struct NormStats {
  std::uint64_t non_b0_count = 0;
  std::uint64_t non_unit_count = 0;
  double non_unit_fraction = 0.0;
  double norm_min = 0.0;
  double norm_max = 0.0;
  double norm_mean = 0.0;
  double tolerance = 0.0;
};

class GradientTable;

/// b-values recovered from amplitude-encoded directions.
struct BvalRecovery;

class GradientTable {
 public:
  /// Fails with `TableMismatch` (directions count first) when the lengths differ.
  [[nodiscard]] static Result<GradientTable> create(std::vector<Vec3> directions,
                                                    std::vector<double> bvals);

  /// Directions exactly as read (not normalised).
  [[nodiscard]] const std::vector<Vec3>& directions() const noexcept { return directions_; }
  [[nodiscard]] const std::vector<double>& bvals() const noexcept { return bvals_; }
  [[nodiscard]] std::size_t size() const noexcept { return bvals_.size(); }

  /// Ascending indices of the volumes with b-value <= `b0_threshold`.
  [[nodiscard]] std::vector<std::size_t> b0_indices(double b0_threshold) const;
  [[nodiscard]] NormStats norm_stats(double b0_threshold, double norm_tolerance) const;
  /// b0 volumes get (0, 0, 0); other directions are scaled to unit length, or set to (0, 0, 0)
  /// when their norm is below machine epsilon.
  [[nodiscard]] GradientTable normalized(double b0_threshold) const;
  /// Nothing when there is no non-b0 volume or every non-b0 direction is (near) zero.
  [[nodiscard]] std::optional<BvalRecovery> recover_bvals(double b0_threshold) const;

 private:
  GradientTable(std::vector<Vec3> directions, std::vector<double> bvals)
      : directions_(std::move(directions)), bvals_(std::move(bvals)) {}

  std::vector<Vec3> directions_;
  std::vector<double> bvals_;
};

struct BvalRecovery {
  GradientTable table;
  double b_nominal;
  double max_norm;
};

/// Euclidean length of a direction.
[[nodiscard]] inline double norm(const Vec3& v) noexcept {
  return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
}

}  // namespace quorvex_core
