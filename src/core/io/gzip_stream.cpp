// Streaming gzip through ISA-L, the fastest inflater here. ISA-L only says that a member is bad,
// not how, so a refused member is inflated again by zlib, which names the fault in the same
// words as the whole-stream reader.
#include "quorvex/io/gzip_stream.hpp"

#include <isa-l/igzip_lib.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>
#include <new>
#include <vector>

#include "zlib_error.hpp"

namespace quorvex_core::io::gzip {
namespace {

// ISA-L counts in 32-bit units.
constexpr std::size_t max_isal_step = std::size_t{1} << 30;

Result<std::size_t> pread_some(int fd, std::byte* out, std::size_t size, std::size_t offset) {
  for (;;) {
    const ssize_t n = ::pread(fd, out, size, static_cast<off_t>(offset));
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return fail(Error::nifti_errno(errno));
  }
}

bool all_zero(std::span<const std::byte> bytes) noexcept {
  return std::all_of(bytes.begin(), bytes.end(), [](std::byte b) { return b == std::byte{0}; });
}

}  // namespace

struct Inflater::State {
  int fd = -1;
  std::size_t file_size = 0;
  interrupt::Token token;
  std::vector<std::byte> input;
  // File offset of input[0], and how much of `input` holds file bytes.
  std::size_t input_offset = 0;
  std::size_t input_size = 0;
  // Where the member being inflated starts in the file, for naming its fault.
  std::size_t member_start = 0;
  bool ended = false;
  inflate_state isal{};

  [[nodiscard]] std::size_t next_offset() const noexcept {
    return input_offset + static_cast<std::size_t>(
                              isal.next_in - reinterpret_cast<const std::uint8_t*>(input.data()));
  }

  // Loads the next compressed chunk once ISA-L has taken the last one; false at the end of the
  // file.
  Result<bool> refill() {
    if (token.stop_requested()) return fail(interrupt::error());
    const std::size_t offset = input_offset + input_size;
    if (offset >= file_size) return false;
    const std::size_t want = std::min(input.size(), file_size - offset);
    auto got = pread_some(fd, input.data(), want, offset);
    if (!got) return fail(got.error());
    if (*got == 0) return false;  // the file shrank under us: the stream ends early
    input_offset = offset;
    input_size = *got;
    isal.next_in = reinterpret_cast<std::uint8_t*>(input.data());
    isal.avail_in = static_cast<std::uint32_t>(*got);
    return true;
  }

  // The fault of the member starting at `start`, in zlib's words, read afresh from the file.
  Error name_fault(std::size_t start) {
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) {
      return Error::nifti("out of memory while inflating");
    }
    std::array<std::byte, 1 << 16> scratch;
    std::size_t offset = start;
    Error error = Error::nifti("corrupt gzip stream");
    for (;;) {
      if (z.avail_in == 0) {
        if (token.stop_requested()) {
          error = interrupt::error();
          break;
        }
        const std::size_t want = std::min(input.size(), file_size - std::min(file_size, offset));
        auto got = want == 0 ? Result<std::size_t>(0) : pread_some(fd, input.data(), want, offset);
        if (!got) {
          error = got.error();
          break;
        }
        offset += *got;
        z.next_in = reinterpret_cast<Bytef*>(input.data());
        z.avail_in = static_cast<uInt>(*got);
      }
      z.next_out = reinterpret_cast<Bytef*>(scratch.data());
      z.avail_out = static_cast<uInt>(scratch.size());
      const int code = inflate(&z, Z_NO_FLUSH);
      if (code == Z_OK) continue;
      // zlib accepting what ISA-L refused is no reason to trust the member.
      if (code == Z_STREAM_END) break;
      error = code == Z_BUF_ERROR ? Error::nifti("gzip stream is truncated") : zlib_error(z, code);
      break;
    }
    inflateEnd(&z);
    // The buffer now holds other bytes; no chunk is current any more.
    input_size = 0;
    isal.avail_in = 0;
    return error;
  }

  // A member whose trailer disagrees with what it inflated to: which of its two fields does,
  // read from the file, so a huge member is not inflated a second time just to say so. The
  // trailer ends where ISA-L stopped, less the bytes it had read ahead; when that place does not
  // hold a disagreeing trailer, zlib judges the member after all.
  Error name_checksum_fault() {
    const std::size_t read_ahead = static_cast<std::size_t>(std::max(0, isal.read_in_length)) / 8;
    const std::size_t end = next_offset() - std::min(next_offset(), read_ahead);
    std::array<std::uint8_t, 8> trailer{};
    if (end >= member_start + 18) {
      auto got = pread_some(fd, reinterpret_cast<std::byte*>(trailer.data()), trailer.size(),
                            end - trailer.size());
      if (got && *got == trailer.size()) {
        const auto field = [&](std::size_t at) {
          return std::uint32_t{trailer[at]} | std::uint32_t{trailer[at + 1]} << 8 |
                 std::uint32_t{trailer[at + 2]} << 16 | std::uint32_t{trailer[at + 3]} << 24;
        };
        if (field(0) != isal.crc) return Error::nifti("gzip CRC-32 mismatch");
        if (field(4) != isal.total_out) return Error::nifti("gzip length check mismatch");
      }
    }
    return name_fault(member_start);
  }

  // After a checked member: another member follows (true), or zero padding or nothing ends the
  // stream (false). Anything else is the next member's fault.
  Result<bool> next_member() {
    while (isal.avail_in == 0) {
      auto more = refill();
      if (!more) return fail(more.error());
      if (!*more) return false;
    }
    const std::size_t start = next_offset();
    if (isal.next_in[0] == 0) {
      std::size_t offset = start;
      while (offset < file_size) {
        if (token.stop_requested()) return fail(interrupt::error());
        const std::size_t want = std::min(input.size(), file_size - offset);
        auto got = pread_some(fd, input.data(), want, offset);
        if (!got) return fail(got.error());
        if (*got == 0) break;
        if (!all_zero({input.data(), *got})) return fail(name_fault(start));
        offset += *got;
      }
      input_size = 0;
      isal.avail_in = 0;
      return false;
    }
    std::uint8_t* next_in = isal.next_in;
    const std::uint32_t avail_in = isal.avail_in;
    isal_inflate_reset(&isal);
    isal.crc_flag = ISAL_GZIP;
    isal.next_in = next_in;
    isal.avail_in = avail_in;
    member_start = start;
    return true;
  }

  // Inflates into `out` until it is full, the member ends, or the input is spent; the bytes
  // written.
  Result<std::size_t> step(std::span<std::byte> out) {
    isal.next_out = reinterpret_cast<std::uint8_t*>(out.data());
    isal.avail_out = static_cast<std::uint32_t>(std::min(out.size(), max_isal_step));
    const std::uint32_t room = isal.avail_out;
    const std::uint32_t had = isal.avail_in;
    const int code = isal_inflate(&isal);
    if (code == ISAL_INCORRECT_CHECKSUM) return fail(name_checksum_fault());
    if (code < 0) return fail(name_fault(member_start));
    const std::size_t written = room - isal.avail_out;
    if (written == 0 && isal.avail_in == had && isal.block_state != ISAL_BLOCK_FINISH) {
      // No progress: ISA-L wants more input. Stuck with input left would be a decoder fault;
      // refilling then would drop bytes, so the member is judged by zlib instead.
      if (isal.avail_in != 0) return fail(name_fault(member_start));
      auto more = refill();
      if (!more) return fail(more.error());
      if (!*more) return fail(Error::nifti("gzip stream is truncated"));
    }
    return written;
  }
};

Inflater::Inflater(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
Inflater::Inflater(Inflater&&) noexcept = default;
Inflater& Inflater::operator=(Inflater&&) noexcept = default;
Inflater::~Inflater() = default;

Result<Inflater> Inflater::open(int fd, std::size_t file_size, std::size_t chunk,
                                interrupt::Token token) {
  std::unique_ptr<State> state(new (std::nothrow) State);
  if (!state) return fail(Error::nifti("out of memory while inflating"));
  try {
    state->input.resize(std::clamp<std::size_t>(chunk, 1, max_isal_step));
  } catch (const std::bad_alloc&) {
    return fail(Error::nifti("out of memory while inflating"));
  }
  state->fd = fd;
  state->file_size = file_size;
  state->token = token;
  isal_inflate_init(&state->isal);
  state->isal.crc_flag = ISAL_GZIP;
  return Inflater(std::move(state));
}

Result<std::size_t> Inflater::read(std::span<std::byte> out) {
  State& s = *state_;
  std::size_t done = 0;
  while (done < out.size() && !s.ended) {
    if (s.isal.block_state == ISAL_BLOCK_FINISH) {
      auto more = s.next_member();
      if (!more) return fail(more.error());
      if (!*more) {
        s.ended = true;
        break;
      }
    }
    auto written = s.step(out.subspan(done));
    if (!written) return fail(written.error());
    done += *written;
  }
  return done;
}

Result<void> Inflater::finish_member(std::span<std::byte> scratch) {
  State& s = *state_;
  while (!s.ended && s.isal.block_state != ISAL_BLOCK_FINISH) {
    if (s.token.stop_requested()) return fail(interrupt::error());
    auto written = s.step(scratch);
    if (!written) return fail(written.error());
  }
  return {};
}

}  // namespace quorvex_core::io::gzip
