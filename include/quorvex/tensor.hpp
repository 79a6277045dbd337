// The per-voxel diffusion-tensor fit on one shell and the white-matter proxy mask.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quorvex/coherence.hpp"
#include "quorvex/error.hpp"
#include "quorvex/gradient.hpp"
#include "quorvex/volume.hpp"

namespace quorvex_core {

/// Per-voxel fit results in voxel order ((x * ny + y) * nz + z).
struct TensorField {
  /// Unit principal eigenvector in the table's frame; (0, 0, 0) where not valid. Its sign
  /// carries no meaning.
  std::vector<Vec3> v1;
  /// Fractional anisotropy in [0, 1]; 0 where not valid.
  std::vector<double> fa;
  /// Reference signal (mean b0 sample), set for every voxel.
  std::vector<double> s0;
  /// One byte per voxel (written concurrently, so not a bit-packed vector).
  std::vector<std::uint8_t> valid;
  GridShape shape{};

  /// Valid voxels with FA >= `fa_threshold` whose s0 reaches the Otsu threshold of all s0.
  [[nodiscard]] Mask wm_proxy(double fa_threshold) const;
};

/// Log-linear least-squares tensor fit of every voxel on the b0 volumes and the shell volumes,
/// with one pseudo-inverse shared by all voxels. `DtiFit` when the image is not 4-D, the shell
/// is empty, a volume index lies outside the image, or the design cannot be decomposed.
[[nodiscard]] Result<TensorField> fit_dti(const ImageArray& image, const GradientTable& table,
                                          std::span<const std::uint64_t> b0_indices,
                                          std::span<const std::uint64_t> shell_indices,
                                          double min_signal);

/// Otsu's (1979) threshold over a 256-bin histogram of `values` (NaN in bin 0): the value that
/// best separates the two classes, e.g. background from tissue.
[[nodiscard]] double otsu_threshold(std::span<const double> values);

}  // namespace quorvex_core
