// Fuzzes the NIfTI-1 reader from memory: the input as a whole file (plain or gzip), or, when the
// first byte says so, the rest of the input gzip-compressed first so that header mutations
// reach the decoder through the inflater too. A loaded image is checked against its geometry and
// walked end to end, so the sanitizers see every sample.
#include <zlib.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "oracles.hpp"
#include "quorvex/volume.hpp"

namespace {

namespace core = quorvex_core;
using quorvex_fuzz::require;

std::string gzip(std::span<const std::uint8_t> bytes, int level) {
  z_stream s{};
  if (deflateInit2(&s, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  std::string out(deflateBound(&s, bytes.size()) + 64, '\0');
  s.next_in = const_cast<Bytef*>(bytes.data());
  s.avail_in = static_cast<uInt>(bytes.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  const int code = deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return code == Z_STREAM_END ? out : std::string{};
}

void check_image(const core::ImageArray& image, const core::VolumeInfo& info) {
  require(image.rank() == info.dims.size(), "rank differs from the header dims");
  std::size_t count = 1;
  for (std::size_t axis = 0; axis < image.rank(); ++axis) {
    require(image.dim(axis) == info.dims[axis], "shape differs from the header dims");
    count *= info.dims[axis];
  }
  require(image.size() == count, "sample count differs from the dims product");
  require(info.n_volumes == (info.dims.size() >= 4 ? info.dims[3] : 1), "volume count");
  for (const auto& row : info.affine) {
    for (double value : row)
      require(std::isfinite(value), "non-finite affine accepted");
  }
  require(info.affine[3][0] == 0.0 && info.affine[3][1] == 0.0 && info.affine[3][2] == 0.0 &&
              info.affine[3][3] == 1.0,
          "affine last row");
  double sum = 0.0;
  for (const float sample : image.samples())
    sum += static_cast<double>(sample);
  (void)sum;
  const double mean = core::masked_mean(image, nullptr);
  (void)mean;
  if (image.rank() == 3 || image.rank() == 4) {
    auto mask = core::mask_from_volume(image);
    require(mask.has_value(), "mask rule refused a 3-D or 4-D image");
    require(mask->size() == image.dim(0) * image.dim(1) * image.dim(2), "mask size");
    (void)core::masked_mean(image, &*mask);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::uint8_t> rest(data + 1, size - 1);
  std::string compressed;
  std::span<const std::byte> file = std::as_bytes(rest);
  // Odd first bytes compress the rest; the level varies the block structure.
  if ((data[0] & 1) != 0) {
    compressed = gzip(rest, (data[0] >> 1) % 10);
    if (compressed.empty()) return 0;
    file = std::as_bytes(std::span<const char>(compressed.data(), compressed.size()));
  }
  auto loaded = core::read_volume_from_bytes(file);
  if (!loaded) {
    require(loaded.error().kind() == core::ErrorKind::Nifti, "reader failed with a non-NIfTI kind");
    require(loaded.error().display().starts_with("NIfTI error: "), "reader message prefix");
    return 0;
  }
  check_image(loaded->first, loaded->second);
  return 0;
}
