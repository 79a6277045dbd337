// NIfTI-1 header decoding on top of nifti_clib's header struct and byte swapping, and the
// stored-type-to-f32 conversion kernels.
#include "quorvex/io/nifti.hpp"

#include <fmt/format.h>
#include <nifti1_io.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <type_traits>

namespace quorvex_core::io::nifti {
namespace {

constexpr std::int32_t nifti1_size = 348;
constexpr std::int32_t nifti2_size = 540;

template <class T>
T load(const std::byte* at) noexcept {
  T value;
  std::memcpy(&value, at, sizeof(T));
  return value;
}

template <class T>
T byte_swapped(T value) noexcept {
  if constexpr (sizeof(T) == 1) {
    return value;
  } else {
    using Bits =
        std::conditional_t<sizeof(T) == 2, std::uint16_t,
                           std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>;
    return std::bit_cast<T>(std::byteswap(std::bit_cast<Bits>(value)));
  }
}

// One loop per (type, swap, scale) so the common case (native int16, scaled or not) compiles to
// a plain widening loop without per-sample branches.
template <class T, bool Swap, bool Scale>
void convert_loop(const std::byte* stored, float* out, std::size_t count, float slope,
                  float inter) noexcept {
  for (std::size_t i = 0; i < count; ++i) {
    T raw = load<T>(stored + i * sizeof(T));
    if constexpr (Swap) raw = byte_swapped(raw);
    float value = static_cast<float>(raw);
    if constexpr (Scale) value = value * slope + inter;
    out[i] = value;
  }
}

template <class T>
void convert_typed(const Header& header, const std::byte* stored, float* out,
                   std::size_t count) noexcept {
  const bool scale = is_scaled(header);
  const float slope = header.scl_slope;
  // A non-finite intercept beside a usable slope is read as 0, as nifti_clib does.
  const float inter = std::isfinite(header.scl_inter) ? header.scl_inter : 0.0F;
  if (header.swapped) {
    if (scale) return convert_loop<T, true, true>(stored, out, count, slope, inter);
    return convert_loop<T, true, false>(stored, out, count, slope, inter);
  }
  if (scale) return convert_loop<T, false, true>(stored, out, count, slope, inter);
  convert_loop<T, false, false>(stored, out, count, slope, inter);
}

bool is_whole(float value) noexcept {
  return std::isfinite(value) && std::floor(value) == value;
}

}  // namespace

std::size_t sample_bytes(std::int16_t datatype) noexcept {
  switch (datatype) {
    case DT_UINT8:
    case DT_INT8:
      return 1;
    case DT_INT16:
    case DT_UINT16:
      return 2;
    case DT_INT32:
    case DT_UINT32:
    case DT_FLOAT32:
      return 4;
    case DT_INT64:
    case DT_UINT64:
    case DT_FLOAT64:
      return 8;
    default:
      return 0;
  }
}

std::string datatype_name(std::int16_t datatype) {
  // The library marks codes outside its table "**ILLEGAL**".
  const std::string name = nifti_datatype_string(datatype);
  return name.starts_with('*') ? "unknown" : name;
}

bool is_scaled(const Header& header) noexcept {
  // nifti_clib and nibabel both read a non-finite slope as "no scaling"; multiplying by it would
  // turn every sample into NaN.
  return std::isfinite(header.scl_slope) && header.scl_slope != 0.0F;
}

bool needs_conversion(const Header& header) noexcept {
  return header.datatype != DT_FLOAT32 || header.swapped || is_scaled(header);
}

Result<Header> decode_header(std::span<const std::byte> bytes) {
  if (bytes.size() < header_size) {
    return fail(Error::nifti(fmt::format("file holds {} bytes, fewer than the {}-byte header",
                                         bytes.size(), header_size)));
  }
  nifti_1_header raw;
  static_assert(sizeof(raw) == header_size);
  std::memcpy(&raw, bytes.data(), header_size);

  // The header size field doubles as the byte-order mark.
  Header header;
  if (raw.sizeof_hdr != nifti1_size) {
    const std::int32_t swapped_size = std::byteswap(raw.sizeof_hdr);
    if (raw.sizeof_hdr == nifti2_size || swapped_size == nifti2_size) {
      return fail(Error::nifti("NIfTI-2 files are not supported"));
    }
    if (swapped_size != nifti1_size) {
      return fail(
          Error::nifti(fmt::format("not a NIfTI-1 file (header size field {})", raw.sizeof_hdr)));
    }
    swap_nifti_header(&raw, 1);
    header.swapped = true;
  }
  if (NIFTI_VERSION(raw) != 1 || !NIFTI_ONEFILE(raw)) {
    if (NIFTI_VERSION(raw) == 1) {
      return fail(Error::nifti("header names a separate .img data file, which is not supported"));
    }
    return fail(Error::nifti("not a NIfTI-1 file (bad magic)"));
  }
  if (sample_bytes(raw.datatype) == 0) {
    return fail(Error::nifti(fmt::format("data type {} ({}) cannot be read as float32",
                                         datatype_name(raw.datatype), raw.datatype)));
  }
  if (raw.vox_offset == 0.0F) {
    header.data_offset = default_data_offset;
  } else if (!is_whole(raw.vox_offset) || raw.vox_offset < static_cast<float>(header_size) ||
             raw.vox_offset > 1e15F) {
    return fail(Error::nifti(fmt::format("invalid vox_offset {}", raw.vox_offset)));
  } else {
    header.data_offset = static_cast<std::size_t>(raw.vox_offset);
  }

  std::copy(std::begin(raw.dim), std::end(raw.dim), header.dim.begin());
  std::copy(std::begin(raw.pixdim), std::end(raw.pixdim), header.pixdim.begin());
  header.datatype = raw.datatype;
  header.scl_slope = raw.scl_slope;
  header.scl_inter = raw.scl_inter;
  header.qform_code = raw.qform_code;
  header.sform_code = raw.sform_code;
  header.quatern_b = raw.quatern_b;
  header.quatern_c = raw.quatern_c;
  header.quatern_d = raw.quatern_d;
  header.qoffset_x = raw.qoffset_x;
  header.qoffset_y = raw.qoffset_y;
  header.qoffset_z = raw.qoffset_z;
  std::copy(std::begin(raw.srow_x), std::end(raw.srow_x), header.srow_x.begin());
  std::copy(std::begin(raw.srow_y), std::end(raw.srow_y), header.srow_y.begin());
  std::copy(std::begin(raw.srow_z), std::end(raw.srow_z), header.srow_z.begin());
  return header;
}

void convert_samples(const Header& header, const std::byte* stored, float* out,
                     std::size_t count) noexcept {
  switch (header.datatype) {
    case DT_UINT8:
      return convert_typed<std::uint8_t>(header, stored, out, count);
    case DT_INT8:
      return convert_typed<std::int8_t>(header, stored, out, count);
    case DT_INT16:
      return convert_typed<std::int16_t>(header, stored, out, count);
    case DT_UINT16:
      return convert_typed<std::uint16_t>(header, stored, out, count);
    case DT_INT32:
      return convert_typed<std::int32_t>(header, stored, out, count);
    case DT_UINT32:
      return convert_typed<std::uint32_t>(header, stored, out, count);
    case DT_INT64:
      return convert_typed<std::int64_t>(header, stored, out, count);
    case DT_UINT64:
      return convert_typed<std::uint64_t>(header, stored, out, count);
    case DT_FLOAT32:
      return convert_typed<float>(header, stored, out, count);
    case DT_FLOAT64:
      return convert_typed<double>(header, stored, out, count);
    default:
      return;
  }
}

}  // namespace quorvex_core::io::nifti
