// Gzip inflation of whole in-memory streams (single- or multi-member), CRC-32 checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "quorvex/error.hpp"

namespace quorvex_core::io::gzip {

/// True when `bytes` starts with the gzip magic (1f 8b).
[[nodiscard]] bool is_gzip(std::span<const std::byte> bytes) noexcept;

/// The most a stream of `compressed_bytes` can inflate to (deflate expands at most 1032:1), so
/// a header's size claim can be refused before anything is allocated for it.
[[nodiscard]] std::uint64_t max_inflated_size(std::size_t compressed_bytes) noexcept;

/// Inflates just enough of `compressed` to fill `out` (crossing member boundaries) and returns
/// how many bytes were written: fewer than `out.size()` only when the stream is shorter. The
/// rest of the stream is not looked at, so its CRC is not checked. `Nifti` for a stream that is
/// corrupt before that point.
[[nodiscard]] Result<std::size_t> inflate_prefix(std::span<const std::byte> compressed,
                                                 std::span<std::byte> out);

/// Inflates every member of `compressed` into `out` and returns the number of bytes written;
/// output beyond `out.size()` is decoded (so every CRC-32 and length is checked) and dropped.
/// Trailing zero padding after the last member is ignored. `Nifti` ("gzip stream is truncated",
/// "gzip CRC-32 mismatch", ...) for anything else. Uses libdeflate, the fastest checked
/// inflater measured here, with zlib for the rare streams that overrun `out`.
[[nodiscard]] Result<std::size_t> inflate_all(std::span<const std::byte> compressed,
                                              std::span<std::byte> out);

}  // namespace quorvex_core::io::gzip
