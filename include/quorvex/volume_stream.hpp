// The image reader the audits use: the file streams through in chunks, inflating on the calling
// thread while another thread converts each chunk to f32 straight into its final place, and
// only the volumes the caller names are kept.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
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

/// Takes whole volumes of a 4-D image as a streamed read converts them, and does its own work
/// with them on the converting thread while the reader inflates. Every call comes from that one
/// thread, in stream order.
class VolumeSink {
 public:
  VolumeSink() = default;
  VolumeSink(const VolumeSink&) = delete;
  VolumeSink& operator=(const VolumeSink&) = delete;
  virtual ~VolumeSink() = default;
  /// The volumes it takes, increasing; asked once, before reading.
  [[nodiscard]] virtual std::span<const std::uint64_t> wanted() const noexcept = 0;
  /// Called once the header is known, before any volume, with the image's dims (four).
  [[nodiscard]] virtual Result<void> start(std::span<const std::size_t> dims) = 0;
  /// Where the f32 samples of volume `v`, which the image does not keep, are to be written;
  /// asked before its first sample is converted.
  [[nodiscard]] virtual float* place(std::size_t v) = 0;
  /// Every sample of volume `v` is converted: `samples` is the sink's own memory from `place`,
  /// or, for a volume the image keeps, the image's.
  virtual void take(std::size_t v, const float* samples) = 0;
  /// One short slice of the work left, done when no conversion waits; false when none is left.
  /// While `reading`, the slice may also be work that only pays when it fills time the reader
  /// leaves idle; once the read has ended, only what must be done.
  virtual bool step(bool reading) = 0;
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
/// With a `sink`, the volumes it wants are read too and handed to it; its work is finished
/// before the call returns.
[[nodiscard]] Result<TimedVolume> stream_volume(const std::string& path,
                                                std::optional<std::span<const std::size_t>> volumes,
                                                const StreamChunks& chunks = {},
                                                VolumeSink* sink = nullptr);

}  // namespace quorvex_core
