// The NIfTI-1 single-file header: decoding, validation, and stored-sample conversion to f32.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "quorvex/error.hpp"

namespace quorvex_core::io::nifti {

/// Bytes of a NIfTI-1 header; the data of a single-file image never starts before this.
inline constexpr std::size_t header_size = 348;
/// Where the data starts when the header says 0 (files written before vox_offset was used).
inline constexpr std::size_t default_data_offset = 352;

/// The header fields the system uses, in this machine's byte order.
struct Header {
  std::array<std::int16_t, 8> dim{};
  std::array<float, 8> pixdim{};
  std::int16_t datatype = 0;
  /// Byte offset of the first sample in the file (vox_offset, 0 read as 352).
  std::size_t data_offset = default_data_offset;
  float scl_slope = 0.0F;
  float scl_inter = 0.0F;
  std::int16_t qform_code = 0;
  std::int16_t sform_code = 0;
  float quatern_b = 0.0F;
  float quatern_c = 0.0F;
  float quatern_d = 0.0F;
  float qoffset_x = 0.0F;
  float qoffset_y = 0.0F;
  float qoffset_z = 0.0F;
  std::array<float, 4> srow_x{};
  std::array<float, 4> srow_y{};
  std::array<float, 4> srow_z{};
  /// The file's byte order differs from this machine's: samples need swapping too.
  bool swapped = false;
};

/// Decodes the first `header_size` bytes of `bytes`. `Nifti` when they are too few, when the
/// header size field is not 348 in either byte order, when the magic is not the single-file
/// "n+1", when the data type does not convert to f32 (complex, RGB, 128-bit float, bit data),
/// or when vox_offset is not a whole number of bytes at or after the header. The dimensions are
/// not checked here (`volume::from_header` does).
[[nodiscard]] Result<Header> decode_header(std::span<const std::byte> bytes);

/// Bytes per stored sample of a data type `decode_header` accepts, 0 for any other.
[[nodiscard]] std::size_t sample_bytes(std::int16_t datatype) noexcept;

/// The library's name of a data type ("INT16"), for messages.
[[nodiscard]] std::string datatype_name(std::int16_t datatype);

/// Whether `header` asks for scaling: a finite, non-zero scl_slope.
[[nodiscard]] bool is_scaled(const Header& header) noexcept;

/// Whether the stored samples differ from their f32 values: false only for unscaled float32 in
/// this machine's byte order, which can be used as read.
[[nodiscard]] bool needs_conversion(const Header& header) noexcept;

/// Converts `count` stored samples at `stored` to f32 at `out`, swapping bytes and applying
/// value * scl_slope + scl_inter (in f32) as the header says. `stored` needs no alignment.
/// For 4-byte data types `out` may be exactly `stored` (converted in place); otherwise the two
/// ranges must not overlap.
void convert_samples(const Header& header, const std::byte* stored, float* out,
                     std::size_t count) noexcept;

}  // namespace quorvex_core::io::nifti
