// The image reader the audits use: the file streams through in chunks, inflating on the calling
// thread while another thread converts each chunk to f32 straight into its final place, and
// only the volumes the caller names are kept.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "quorvex/volume.hpp"

namespace quorvex_core {

/// Chunk sizes of a streamed read; the defaults suit real files, tests shrink them to put chunk
/// edges everywhere.
struct StreamChunks {
  /// Compressed bytes read from the file at a time.
  std::size_t input = std::size_t{1} << 20;
  /// Stream bytes per hand-over to the converting thread (rounded up to a multiple of 8).
  std::size_t output = std::size_t{2} << 20;
};

/// Reads a NIfTI-1 file (plain or gzip, detected by content) like `read_volume_with_info_timed`,
/// with the same checks and error texts, but in memory for the kept volumes only: of a 4-D
/// image, the volumes listed in `volumes` (order and repeats do not matter; indices past the
/// image are ignored); of any other image, or when `volumes` is absent, every sample.
/// A gzip stream is inflated up to the image's last byte and the end of the member holding
/// it (every member up to there checked) and nothing after it is read; a plain file is read only
/// where kept volumes lie. `decompress` is the time spent reading and inflating, `convert` the
/// time spent converting, which overlap. The calling thread's interrupt check is asked between
/// chunks; a stop returns `interrupt::error()`.
[[nodiscard]] Result<TimedVolume> stream_volume(const std::string& path,
                                                std::optional<std::span<const std::size_t>> volumes,
                                                const StreamChunks& chunks = {});

}  // namespace quorvex_core
