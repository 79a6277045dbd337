// DWI and mask images: NIfTI-1 files read into f32 arrays with their geometry, the mask rule,
// and masked means per volume.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "quorvex/error.hpp"
#include "quorvex/grid.hpp"
#include "quorvex/io/nifti.hpp"

namespace quorvex_core {

namespace detail {

/// Page-aligned anonymous memory. Failing to get it is a value, never an abort (not even under
/// the sanitizers' allocators), and large buffers ask for transparent huge pages, which makes
/// first-touch of a multi-gigabyte image several times cheaper.
class PageBuffer {
 public:
  PageBuffer() = default;
  /// `bytes` of zero-filled memory, or nullopt when the system refuses.
  [[nodiscard]] static std::optional<PageBuffer> allocate(std::size_t bytes) noexcept;
  PageBuffer(PageBuffer&& other) noexcept;
  PageBuffer& operator=(PageBuffer&& other) noexcept;
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;
  ~PageBuffer();

  [[nodiscard]] std::byte* data() const noexcept { return data_; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  /// Returns the memory to the system now.
  void release() noexcept;

 private:
  std::byte* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mapped_ = 0;
};

struct ImageArrayAccess;

}  // namespace detail

/// The f32 samples of one image, already scaled, with shape dim[1] ... dim[dim[0]] and indexed
/// (x, y, z[, v, ...]) in that order. Storage order is the file's: the first index varies
/// fastest, so one volume of a DWI is one contiguous run. Move-only: an image is read once.
/// A 4-D image may hold only some of its volumes (the reader keeps those a caller asked for);
/// its shape is still the file's, and `volume` says which runs are there.
class ImageArray {
 public:
  static constexpr std::size_t max_rank = 7;

  ImageArray() = default;
  ImageArray(ImageArray&& other) noexcept;
  ImageArray& operator=(ImageArray&& other) noexcept;
  ImageArray(const ImageArray&) = delete;
  ImageArray& operator=(const ImageArray&) = delete;
  ~ImageArray() = default;

  /// An image of `shape` holding `samples` in storage order (first index fastest). `Nifti` when
  /// the rank is not 1 to 7, the sample count does not match, or memory is refused.
  [[nodiscard]] static Result<ImageArray> from_samples(std::span<const std::size_t> shape,
                                                       std::span<const float> samples);

  [[nodiscard]] std::size_t rank() const noexcept { return rank_; }
  [[nodiscard]] std::span<const std::size_t> shape() const noexcept {
    return {shape_.data(), rank_};
  }
  /// Length of `axis`; 1 for an axis past the rank.
  [[nodiscard]] std::size_t dim(std::size_t axis) const noexcept {
    return axis < rank_ ? shape_[axis] : 1;
  }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  /// Every sample in storage order (first index fastest); for an image holding only some
  /// volumes, those volumes one after the other in increasing order.
  [[nodiscard]] std::span<const float> samples() const noexcept { return {samples_, size_}; }
  /// Whether every volume is held.
  [[nodiscard]] bool complete() const noexcept { return slots_.empty(); }
  /// The run of `size() / dim(rank() - 1)` samples at position `v` of the last axis (the whole
  /// image below rank 4), or nullptr when `v` is past that axis or the volume was not read.
  [[nodiscard]] const float* volume(std::size_t v) const noexcept;
  /// The sample at (x, y, z, v) of a complete image; axes past the fourth at index 0. No bounds
  /// check.
  [[nodiscard]] float at(std::size_t x, std::size_t y, std::size_t z,
                         std::size_t v = 0) const noexcept {
    return samples_[x + dim(0) * (y + dim(1) * (z + dim(2) * v))];
  }

 private:
  friend struct detail::ImageArrayAccess;

  detail::PageBuffer storage_;
  const float* samples_ = nullptr;
  std::size_t size_ = 0;
  std::array<std::size_t, max_rank> shape_{};
  std::size_t rank_ = 0;
  /// Empty for a complete image; else the storage slot of each volume, `absent` when not read.
  std::vector<std::size_t> slots_;
};

/// A 4 x 4 matrix stored row by row.
using Affine = std::array<std::array<double, 4>, 4>;

/// The geometry of one image, from its header alone.
struct VolumeInfo {
  /// dim[1] ... dim[dim[0]], 1 to 7 entries.
  std::vector<std::size_t> dims;
  /// pixdim[1], pixdim[2], pixdim[3], signs kept.
  std::array<double, 3> voxel_sizes{};
  /// Voxel-to-world: sform, else qform, else pixdim; last row (0, 0, 0, 1).
  Affine affine{};
  /// dims[3] when there are at least four dims, else 1.
  std::size_t n_volumes = 1;
};

/// The geometry of a decoded header. `Nifti` when dim[0] is not 1 to 7, a used dim is zero or
/// negative, the sample count overflows, or the voxel sizes or the chosen affine are not finite.
[[nodiscard]] Result<VolumeInfo> from_header(const io::nifti::Header& header);

/// Reads a NIfTI-1 file (plain or gzip, detected by content) into its samples and geometry.
/// `Nifti` for every failure: the file cannot be opened or read ("... (os error N)"), is not a
/// regular file, is truncated or corrupt, has a header that fails `decode_header` or
/// `from_header`, or claims more data than the file can hold. Nothing is allocated for a claim
/// before it has been checked against the file's size.
[[nodiscard]] Result<std::pair<ImageArray, VolumeInfo>> read_volume_with_info(
    const std::string& path);

/// `read_volume_with_info` for a whole file already in memory: the same decoding and checks, with
/// "file ended before its reported size" where the file reader would hit the end of the file.
[[nodiscard]] Result<std::pair<ImageArray, VolumeInfo>> read_volume_from_bytes(
    std::span<const std::byte> bytes);

/// `read_volume_with_info` with its time split.
struct TimedVolume {
  ImageArray image;
  VolumeInfo info;
  /// File read, inflation, header and geometry.
  std::chrono::nanoseconds decompress{0};
  /// Conversion of the stored samples to f32.
  std::chrono::nanoseconds convert{0};
};
[[nodiscard]] Result<TimedVolume> read_volume_with_info_timed(const std::string& path);

/// The mask rule: volume 0 of a 3-D or 4-D image, visited in voxel order, true wherever the
/// sample is not 0.0 (NaN counts as inside). `Nifti` for an image of any other rank.
[[nodiscard]] Result<Mask> mask_from_volume(const ImageArray& image);

/// Reads volume 0 of a mask image (`stream_volume`) and applies the mask rule; the errors of both.
[[nodiscard]] Result<Mask> read_mask(const std::string& path);

/// Mean (accumulated in f64) of `samples`, given in logical visiting order, over the entries
/// where `mask` is true; without a mask over all of them. Samples and mask are walked in
/// lockstep up to the shorter. 0.0 when nothing is counted.
[[nodiscard]] double masked_mean(std::span<const float> samples, const Mask* mask) noexcept;

/// The mean of every sample of one volume stored at `volume` in `shape` (first index fastest),
/// visited in logical order: what `mean_for_volumes` gives for it without a mask.
[[nodiscard]] double volume_mean(const float* volume, std::span<const std::size_t> shape) noexcept;

/// `masked_mean` over the whole image visited in logical order (x slowest, last axis fastest).
[[nodiscard]] double masked_mean(const ImageArray& image, const Mask* mask) noexcept;

/// One masked mean per requested index, in the order requested: of the sub-array at that
/// position of the last axis (a volume of a DWI) for images of rank 4 or more, of the whole
/// image otherwise. Runs in parallel on the shared pool. An index past the last axis, or of a
/// volume the image does not hold, gives NaN.
[[nodiscard]] std::vector<double> mean_for_volumes(const ImageArray& image,
                                                   std::span<const std::size_t> volumes,
                                                   const Mask* mask);

}  // namespace quorvex_core
