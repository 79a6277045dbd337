// Coordinate frames: the maps carrying gradient directions between the FSL bvec frame, the
// world (scanner) frame and the image's voxel axes, all derived from the affine.
#pragma once

#include <array>

#include "quorvex/gradient.hpp"
#include "quorvex/volume.hpp"

namespace quorvex_core {

/// "fsl" or "mrtrix".
[[nodiscard]] const char* input_format_name(InputFormat format) noexcept;

/// The resolved frames of one image.
struct FrameMaps {
  /// FSL bvec frame to voxel frame: diag(-1, 1, 1) when det(A3) > 0, else the identity.
  Mat3 fsl_voxel_map{};
  /// World frame to voxel frame: the unit columns of A3 as rows (identity when a column is
  /// shorter than 1e-9). Not orthogonalised for a sheared affine.
  Mat3 world_voxel_map{};
  /// +1.0 or -1.0 from the sign of det(A3), a signed zero by its sign bit; NaN stays NaN.
  double affine_determinant_sign = 1.0;
  InputFormat input_format = InputFormat::Fsl;
  bool frames_divergent = false;

  [[nodiscard]] static FrameMaps resolve(InputFormat format, const VolumeInfo& info) noexcept;

  /// Input frame to voxel frame: the world map for a grad file, the FSL map for a pair.
  [[nodiscard]] const Mat3& to_voxel() const noexcept;
  /// Input frame to FSL frame.
  [[nodiscard]] Mat3 to_fsl() const noexcept;
  /// Input frame to world frame.
  [[nodiscard]] Mat3 to_world() const noexcept;
};

/// True for a positive-determinant affine whose voxel axes point against the world axes on two
/// or three axes (judged by each unit column's dominant component): there the FSL and world
/// frames disagree in a way users must be warned about.
[[nodiscard]] bool frames_divergent(const VolumeInfo& info) noexcept;

}  // namespace quorvex_core
