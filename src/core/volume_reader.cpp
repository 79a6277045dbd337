// Reading a NIfTI-1 file into an ImageArray: every size the header claims is checked against
// the file before memory is taken for it, and samples are converted once, in parallel.
#include <fmt/format.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <limits>

#include "image_file.hpp"
#include "quorvex/io/gzip.hpp"
#include "quorvex/pool.hpp"
#include "quorvex/volume.hpp"
#include "volume_access.hpp"

namespace quorvex_core {
namespace {

namespace nifti = io::nifti;
using detail::PageBuffer;
using Clock = std::chrono::steady_clock;

// Samples per conversion task: big enough to amortise scheduling, small enough to spread a
// single volume over the workers.
constexpr std::size_t convert_grain = std::size_t{1} << 18;

// Where the file's bytes come from: a descriptor read with pread, or a buffer already in memory.
struct Source {
  int fd = -1;
  std::span<const std::byte> memory;
  std::size_t size = 0;
};

// Reads exactly `size` bytes at `offset`; a file that ends early was truncated under us.
Result<void> read_exact(const Source& source, std::byte* out, std::size_t size,
                        std::size_t offset) {
  if (source.fd < 0) {
    if (offset > source.memory.size() || size > source.memory.size() - offset) {
      return fail(Error::nifti("file ended before its reported size"));
    }
    if (size != 0) std::memcpy(out, source.memory.data() + offset, size);
    return {};
  }
  const int fd = source.fd;
  while (size > 0) {
    const std::size_t step = std::min<std::size_t>(size, std::size_t{1} << 30);
    const ssize_t n = ::pread(fd, out, step, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(Error::nifti_errno(errno));
    }
    if (n == 0) return fail(Error::nifti("file ended before its reported size"));
    out += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::size_t>(n);
  }
  return {};
}

Result<PageBuffer> allocate(std::size_t bytes) {
  auto buffer = PageBuffer::allocate(bytes);
  if (!buffer) return fail(Error::nifti(fmt::format("cannot allocate {} bytes", bytes)));
  return std::move(*buffer);
}

// The stored samples of an image, somewhere inside an owned buffer.
struct StoredData {
  PageBuffer buffer;
  std::size_t offset = 0;
};

using Decoded = detail::DecodedHeader;

Result<Decoded> decode(std::span<const std::byte> header_bytes) {
  return detail::decode_image_header(header_bytes);
}

// Plain .nii: the data is read straight from its offset into a buffer of its own.
Result<StoredData> read_plain(const Source& source, const Decoded& d) {
  const std::size_t end = d.header.data_offset + d.stored_bytes;
  const std::size_t file_size = source.size;
  if (end > file_size) {
    return fail(Error::nifti(
        fmt::format("header implies {} bytes of image but the file holds {}", end, file_size)));
  }
  auto buffer = allocate(d.stored_bytes);
  if (!buffer) return fail(buffer.error());
  if (auto read = read_exact(source, buffer->data(), d.stored_bytes, d.header.data_offset); !read) {
    return fail(read.error());
  }
  return StoredData{std::move(*buffer), 0};
}

// .nii.gz: the whole stream inflates into one buffer (header included, which is what lets
// libdeflate decode each member in one call); `owned`, when given, holds the compressed bytes and
// is freed as soon as they have been inflated.
Result<StoredData> read_gzip(std::span<const std::byte> compressed, PageBuffer* owned,
                             const Decoded& d) {
  const std::size_t end = d.header.data_offset + d.stored_bytes;
  const std::uint64_t most = io::gzip::max_inflated_size(compressed.size());
  if (end > most) {
    return fail(Error::nifti(
        fmt::format("header implies {} bytes of image but a {}-byte gzip stream inflates to at "
                    "most {}",
                    end, compressed.size(), most)));
  }
  auto buffer = allocate(end);
  if (!buffer) return fail(buffer.error());
  auto inflated = io::gzip::inflate_all(compressed, {buffer->data(), buffer->size()});
  if (owned != nullptr) owned->release();
  if (!inflated) return fail(inflated.error());
  if (*inflated < end) {
    return fail(Error::nifti(
        fmt::format("gzip stream inflates to {} bytes but the header implies {}", *inflated, end)));
  }
  return StoredData{std::move(*buffer), d.header.data_offset};
}

// Turns the stored samples into the image: in place for 4-byte types (a float32 file in this
// machine's byte order without scaling needs no pass at all), into a new buffer otherwise.
Result<ImageArray> convert(StoredData stored, const Decoded& d) {
  const nifti::Header& header = d.header;
  const std::size_t width = nifti::sample_bytes(header.datatype);
  if (width == sizeof(float)) {
    if (stored.offset % alignof(float) != 0) {
      const std::size_t aligned = stored.offset - stored.offset % alignof(float);
      std::memmove(stored.buffer.data() + aligned, stored.buffer.data() + stored.offset,
                   d.stored_bytes);
      stored.offset = aligned;
    }
    std::byte* base = stored.buffer.data() + stored.offset;
    if (nifti::needs_conversion(header)) {
      auto* out = reinterpret_cast<float*>(base);
      const bool ran =
          pool::parallel_chunks(d.count, convert_grain, [&](std::size_t b, std::size_t e) {
            nifti::convert_samples(header, base + b * width, out + b, e - b);
          });
      // Converting in place cannot be redone after a partial run.
      if (!ran) return fail(Error::nifti("the worker pool failed while converting samples"));
    }
    return detail::ImageArrayAccess::adopt(d.info.dims, std::move(stored.buffer), stored.offset,
                                           d.count);
  }
  auto target = allocate(d.count * sizeof(float));
  if (!target) return fail(target.error());
  const std::byte* source = stored.buffer.data() + stored.offset;
  auto* out = reinterpret_cast<float*>(target->data());
  const auto run = [&](std::size_t b, std::size_t e) {
    nifti::convert_samples(header, source + b * width, out + b, e - b);
  };
  pool::run_chunks(d.count, convert_grain, run);
  stored.buffer.release();
  return detail::ImageArrayAccess::adopt(d.info.dims, std::move(*target), 0, d.count);
}

std::chrono::nanoseconds elapsed(Clock::time_point from, Clock::time_point to) {
  return std::max(std::chrono::nanoseconds{0},
                  std::chrono::duration_cast<std::chrono::nanoseconds>(to - from));
}

// The one decoding path behind the file and the in-memory readers. `t0` is when the caller
// started, so the timing covers opening and reading the file too.
Result<TimedVolume> load(const Source& source, Clock::time_point t0) {
  std::array<std::byte, nifti::header_size> head{};
  const std::size_t head_size = std::min(source.size, head.size());
  if (auto read = read_exact(source, head.data(), head_size, 0); !read) return fail(read.error());

  Result<Decoded> decoded = fail(Error::nifti("unreachable"));
  Result<StoredData> stored = fail(Error::nifti("unreachable"));
  if (io::gzip::is_gzip({head.data(), head_size})) {
    PageBuffer owned;
    std::span<const std::byte> compressed = source.memory;
    if (source.fd >= 0) {
      auto buffer = allocate(source.size);
      if (!buffer) return fail(buffer.error());
      if (auto read = read_exact(source, buffer->data(), source.size, 0); !read) {
        return fail(read.error());
      }
      owned = std::move(*buffer);
      compressed = {owned.data(), source.size};
    }
    auto prefix = io::gzip::inflate_prefix(compressed, head);
    if (!prefix) return fail(prefix.error());
    decoded = decode({head.data(), *prefix});
    if (!decoded) return fail(decoded.error());
    stored = read_gzip(compressed, &owned, *decoded);
  } else {
    decoded = decode({head.data(), head_size});
    if (!decoded) return fail(decoded.error());
    stored = read_plain(source, *decoded);
  }
  if (!stored) return fail(stored.error());
  const auto t1 = Clock::now();

  auto image = convert(std::move(*stored), *decoded);
  if (!image) return fail(image.error());
  const auto t2 = Clock::now();
  return TimedVolume{std::move(*image), std::move(decoded->info), elapsed(t0, t1), elapsed(t1, t2)};
}

}  // namespace

Result<TimedVolume> read_volume_with_info_timed(const std::string& path) {
  const auto t0 = Clock::now();
  auto file = detail::open_image_file(path);
  if (!file) return fail(file.error());
  return load(Source{file->fd(), {}, file->size()}, t0);
}

Result<std::pair<ImageArray, VolumeInfo>> read_volume_from_bytes(std::span<const std::byte> bytes) {
  auto timed = load(Source{-1, bytes, bytes.size()}, Clock::now());
  if (!timed) return fail(timed.error());
  return std::pair{std::move(timed->image), std::move(timed->info)};
}

Result<std::pair<ImageArray, VolumeInfo>> read_volume_with_info(const std::string& path) {
  auto timed = read_volume_with_info_timed(path);
  if (!timed) return fail(timed.error());
  return std::pair{std::move(timed->image), std::move(timed->info)};
}

}  // namespace quorvex_core
