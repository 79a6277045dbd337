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
  FieldArray<Vec3> v1;
  /// Fractional anisotropy in [0, 1]; 0 where not valid.
  FieldArray<double> fa;
  /// Reference signal (mean b0 sample), set for every voxel.
  FieldArray<double> s0;
  /// One byte per voxel (written concurrently, so not a bit-packed vector).
  FieldArray<std::uint8_t> valid;
  GridShape shape{};

  /// Valid voxels with FA >= `fa_threshold` whose s0 reaches the Otsu threshold of all s0.
  [[nodiscard]] Mask wm_proxy(double fa_threshold) const;
};

/// The log-linear fit's design, reduced to what each row contributes: a voxel's six tensor
/// coefficients are sums over the rows, in volume order, of a row's weights times the log of its
/// sample. The whole-image fit and the streamed one add the same terms in the same order.
struct TensorDesign {
  /// Row j's volume, increasing.
  std::vector<std::uint64_t> volumes;
  /// Six weights per row (xx, yy, zz, xy, xz, yz): the pseudo-inverse's tensor rows.
  std::vector<double> weights;

  [[nodiscard]] bool operator==(const TensorDesign&) const = default;
};

/// The design of a fit on the b0 volumes and the shell volumes (one pseudo-inverse for every
/// voxel). `DtiFit` when the shell is empty, a volume lies outside the table, or the design
/// cannot be decomposed.
[[nodiscard]] Result<TensorDesign> tensor_design(const GradientTable& table,
                                                 std::span<const std::uint64_t> b0_indices,
                                                 std::span<const std::uint64_t> shell_indices);

/// The six coefficient sums of every voxel (storage order, coefficient-major), fed row by row
/// while the image streams in, so the rows need never be held whole.
struct TensorSums {
  TensorDesign design;
  std::size_t voxels = 0;
  /// 6 x voxels doubles, zero to start with; complete once every row has been added.
  detail::PageBuffer storage;

  [[nodiscard]] double* data() const noexcept { return reinterpret_cast<double*>(storage.data()); }

  /// A field made while the read's tail was inflated (empty when there was no time), its tiles
  /// [0, tiles_solved) already solved with s0 averaged over `solved_reference` and the signal
  /// floor `solved_min_signal`; a fit takes the field over (once), and the tiles when it has
  /// the same inputs.
  TensorField field;
  std::size_t tiles_solved = 0;
  std::vector<std::uint64_t> solved_reference;
  double solved_min_signal = 0.0;
  /// The unmasked mean of each volume of `solved_reference` (`volume_mean`), in that order,
  /// taken as it arrived; empty unless every one arrived.
  std::vector<double> reference_means;
};

/// Adds `samples.size()` consecutive rows, from row `first_row` of `design`, to the sums of the
/// voxels [begin, end): `samples[r]` holds row first_row + r for every voxel. Each voxel's sums
/// see the same separately rounded operations as the whole-image fit.
void add_tensor_rows(const TensorDesign& design, std::size_t first_row,
                     std::span<const float* const> samples, std::size_t begin, std::size_t end,
                     TensorSums& sums);

/// Log-linear least-squares tensor fit of every voxel on the b0 volumes and the shell volumes,
/// with one pseudo-inverse shared by all voxels. `DtiFit` when the image is not 4-D, the shell
/// is empty, a volume index lies outside the image, or the design cannot be decomposed. With
/// `streamed` sums of the same design over the same grid, only the reference volumes are read
/// from the image, and tiles solved on the way are taken over; the field is the same either
/// way, bit for bit.
[[nodiscard]] Result<TensorField> fit_dti(const ImageArray& image, const GradientTable& table,
                                          std::span<const std::uint64_t> b0_indices,
                                          std::span<const std::uint64_t> shell_indices,
                                          double min_signal, TensorSums* streamed = nullptr);

/// Otsu's (1979) threshold over a 256-bin histogram of `values` (NaN in bin 0): the value that
/// best separates the two classes, e.g. background from tissue.
[[nodiscard]] double otsu_threshold(std::span<const double> values);

}  // namespace quorvex_core
