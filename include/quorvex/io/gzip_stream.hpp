// Gzip files inflated front to back in bounded memory, member after member.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

#include "quorvex/error.hpp"
#include "quorvex/interrupt.hpp"

namespace quorvex_core::io::gzip {

/// Inflates the gzip stream of an open file through ISA-L, reading `chunk` compressed bytes at
/// a time, so neither the file nor its inflated stream is ever held whole. Every member's CRC-32
/// and length are checked when it ends; zero padding after the last member ends the stream.
/// Faults carry the same texts as `inflate_all` ("gzip CRC-32 mismatch", "gzip stream is
/// truncated", ...). Between chunks it asks `token` and stops with `interrupt::error()`.
class Inflater {
 public:
  /// `fd` stays owned by the caller and open while the inflater is used; it is read with pread
  /// from offset 0 up to `file_size`.
  [[nodiscard]] static Result<Inflater> open(int fd, std::size_t file_size, std::size_t chunk,
                                             interrupt::Token token);
  Inflater(Inflater&&) noexcept;
  Inflater& operator=(Inflater&&) noexcept;
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  ~Inflater();

  /// Fills `out` with the next bytes of the stream; fewer only when the stream has ended.
  [[nodiscard]] Result<std::size_t> read(std::span<std::byte> out);
  /// Inflates what is left of the current member into `scratch` (dropped), checking it, and
  /// reads nothing past it: whatever follows in the file is never looked at.
  [[nodiscard]] Result<void> finish_member(std::span<std::byte> scratch);

 private:
  struct State;
  explicit Inflater(std::unique_ptr<State> state) noexcept;
  std::unique_ptr<State> state_;
};

}  // namespace quorvex_core::io::gzip
