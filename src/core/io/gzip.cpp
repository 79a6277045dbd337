// Gzip members through libdeflate at full speed; zlib streams the unusual cases (a prefix, output
// past the caller's buffer) and names the fault when libdeflate only says "bad data".
#include "quorvex/io/gzip.hpp"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <string>

#include "zlib_error.hpp"

namespace quorvex_core::io::gzip {
namespace {

// Deflate's densest code emits 258 bytes per 2 bits; 1032:1 bounds every stream, plus slack for
// tiny inputs.
constexpr std::uint64_t max_ratio = 1032;
constexpr std::uint64_t ratio_slack = 1 << 16;

// zlib counts in 32-bit units; larger spans are fed in slices.
constexpr std::size_t max_zlib_step = std::size_t{1} << 30;

bool all_zero(std::span<const std::byte> bytes) noexcept {
  return std::all_of(bytes.begin(), bytes.end(), [](std::byte b) { return b == std::byte{0}; });
}

struct ZlibStream {
  z_stream stream{};
  bool ready = false;
  ZlibStream() { ready = inflateInit2(&stream, 16 + MAX_WBITS) == Z_OK; }
  ZlibStream(const ZlibStream&) = delete;
  ZlibStream& operator=(const ZlibStream&) = delete;
  ~ZlibStream() {
    if (ready) inflateEnd(&stream);
  }
};

// Streams every member of `in` through zlib, writing into `out` until it is full and into a
// scratch buffer after that. With `stop_when_full` it returns as soon as `out` is full.
Result<std::size_t> zlib_inflate(std::span<const std::byte> in, std::span<std::byte> out,
                                 bool stop_when_full) {
  ZlibStream z;
  if (!z.ready) return fail(Error::nifti("out of memory while inflating"));
  std::array<std::byte, 1 << 16> scratch;
  std::size_t in_pos = 0;
  std::size_t out_pos = 0;
  for (;;) {
    if (z.stream.avail_in == 0 && in_pos < in.size()) {
      const std::size_t step = std::min(in.size() - in_pos, max_zlib_step);
      z.stream.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(in.data() + in_pos));
      z.stream.avail_in = static_cast<uInt>(step);
      in_pos += step;
    }
    const bool to_out = out_pos < out.size();
    if (!to_out && stop_when_full) return out_pos;
    std::byte* target = to_out ? out.data() + out_pos : scratch.data();
    const std::size_t room =
        to_out ? std::min(out.size() - out_pos, max_zlib_step) : scratch.size();
    z.stream.next_out = reinterpret_cast<Bytef*>(target);
    z.stream.avail_out = static_cast<uInt>(room);
    const int code = inflate(&z.stream, Z_NO_FLUSH);
    if (to_out) out_pos += room - z.stream.avail_out;
    if (code == Z_OK) continue;
    if (code == Z_STREAM_END) {
      const auto rest = in.subspan(in_pos - z.stream.avail_in);
      if (rest.empty() || all_zero(rest)) return out_pos;
      if (inflateReset(&z.stream) != Z_OK) return fail(zlib_error(z.stream, Z_STREAM_ERROR));
      continue;
    }
    // The output always has room, so no progress means the input ran out inside a member.
    if (code == Z_BUF_ERROR) return fail(Error::nifti("gzip stream is truncated"));
    return fail(zlib_error(z.stream, code));
  }
}

struct DecompressorDeleter {
  void operator()(libdeflate_decompressor* d) const noexcept { libdeflate_free_decompressor(d); }
};

}  // namespace

bool is_gzip(std::span<const std::byte> bytes) noexcept {
  return bytes.size() >= 2 && bytes[0] == std::byte{0x1f} && bytes[1] == std::byte{0x8b};
}

std::uint64_t max_inflated_size(std::size_t compressed_bytes) noexcept {
  const std::uint64_t n = compressed_bytes;
  if (n > (std::numeric_limits<std::uint64_t>::max() - ratio_slack) / max_ratio) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return n * max_ratio + ratio_slack;
}

Result<std::size_t> inflate_prefix(std::span<const std::byte> compressed,
                                   std::span<std::byte> out) {
  return zlib_inflate(compressed, out, true);
}

Result<std::size_t> inflate_all(std::span<const std::byte> compressed, std::span<std::byte> out) {
  if (!is_gzip(compressed)) return fail(Error::nifti("not a gzip stream"));
  const std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(
      libdeflate_alloc_decompressor());
  if (!decompressor) return fail(Error::nifti("out of memory while inflating"));
  std::size_t in_pos = 0;
  std::size_t out_pos = 0;
  while (in_pos < compressed.size()) {
    const auto rest = compressed.subspan(in_pos);
    if (in_pos > 0 && all_zero(rest)) break;
    std::size_t used = 0;
    std::size_t written = 0;
    const libdeflate_result result =
        libdeflate_gzip_decompress_ex(decompressor.get(), rest.data(), rest.size(),
                                      out.data() + out_pos, out.size() - out_pos, &used, &written);
    if (result == LIBDEFLATE_SUCCESS) {
      in_pos += used;
      out_pos += written;
      continue;
    }
    // libdeflate stops with no detail; zlib redoes this member and the rest, either to finish a
    // member that runs past `out` or to say what is wrong with it.
    auto tail = zlib_inflate(rest, out.subspan(out_pos), false);
    if (!tail) return fail(tail.error());
    if (result != LIBDEFLATE_INSUFFICIENT_SPACE) {
      // zlib accepted what libdeflate refused; never trust such a stream.
      return fail(Error::nifti("corrupt gzip stream"));
    }
    return out_pos + *tail;
  }
  return out_pos;
}

}  // namespace quorvex_core::io::gzip
