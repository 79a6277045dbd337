// Frame maps from the affine: FSL's handedness rule, the world rotation, and the divergence
// verdict.
#include "quorvex/frame.hpp"

#include <cmath>

namespace quorvex_core {
namespace {

constexpr double min_column_length = 1e-9;
constexpr Mat3 mirror_x{{{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};

double determinant(const Affine& a) noexcept {
  return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
         a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
         a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
}

// Rows of the result are the unit columns of A3; the identity when any column is degenerate.
Mat3 unit_columns_as_rows(const Affine& a) noexcept {
  Mat3 rows{};
  for (std::size_t c = 0; c < 3; ++c) {
    const double length = std::sqrt(a[0][c] * a[0][c] + a[1][c] * a[1][c] + a[2][c] * a[2][c]);
    // Written so that a NaN length also falls back.
    if (!(length >= min_column_length)) return identity_matrix;
    for (std::size_t r = 0; r < 3; ++r)
      rows[c][r] = a[r][c] / length;
  }
  return rows;
}

Mat3 fsl_map(const Affine& affine) noexcept {
  return determinant(affine) > 0.0 ? mirror_x : identity_matrix;
}

// The component of `v` that dominates: y beats x on a tie, z beats both unless strictly
// smaller.
double dominant_component(double x, double y, double z) noexcept {
  const double winner = std::abs(x) > std::abs(y) ? x : y;
  return std::abs(z) < std::abs(winner) ? winner : z;
}

}  // namespace

const char* input_format_name(InputFormat format) noexcept {
  return format == InputFormat::Mrtrix ? "mrtrix" : "fsl";
}

bool frames_divergent(const VolumeInfo& info) noexcept {
  if (!(determinant(info.affine) > 0.0)) return false;
  const Mat3 unit = unit_columns_as_rows(info.affine);
  int against = 0;
  for (std::size_t c = 0; c < 3; ++c) {
    if (dominant_component(unit[c][0], unit[c][1], unit[c][2]) < 0.0) ++against;
  }
  return against >= 2;
}

FrameMaps FrameMaps::resolve(InputFormat format, const VolumeInfo& info) noexcept {
  const double det = determinant(info.affine);
  FrameMaps maps;
  maps.fsl_voxel_map = fsl_map(info.affine);
  maps.world_voxel_map = unit_columns_as_rows(info.affine);
  maps.affine_determinant_sign = std::isnan(det) ? det : std::copysign(1.0, det);
  maps.input_format = format;
  maps.frames_divergent = quorvex_core::frames_divergent(info);
  return maps;
}

const Mat3& FrameMaps::to_voxel() const noexcept {
  return input_format == InputFormat::Mrtrix ? world_voxel_map : fsl_voxel_map;
}

Mat3 FrameMaps::to_fsl() const noexcept {
  return multiply(fsl_voxel_map, to_voxel());
}

Mat3 FrameMaps::to_world() const noexcept {
  return multiply(transpose(world_voxel_map), to_voxel());
}

}  // namespace quorvex_core
