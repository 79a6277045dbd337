// Which volumes of a DWI a subject pipeline will look at, known from the table alone, so the
// reader can leave every other volume on disk.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "quorvex/gradient.hpp"
#include "quorvex/pipeline.hpp"
#include "quorvex/tensor.hpp"
#include "quorvex/volume.hpp"

namespace quorvex_core::pipeline {

/// In increasing order: the b0 volumes (for the drift and the fit) and the volumes of the
/// working shell (the one `options.shell` asks for, else the detector's choice). Indices are the
/// table's; a table that does not match the image is refused later, as it would be anyway.
[[nodiscard]] std::vector<std::size_t> volumes_used(const GradientTable& table,
                                                    const PipelineOptions& options);

/// An image read for an audit, with the tensor fit's sums made on the way when the table allows
/// it (a b0 volume and a working shell): then the image keeps only its b0 volumes.
struct AuditRead {
  TimedVolume volume;
  std::shared_ptr<TensorSums> fit;
  /// The time spent on the fit's sums, overlapped with the read.
  std::chrono::nanoseconds fit_time{0};
};

/// Streams `path` for an audit of `table` with `options`; the errors of `stream_volume`. Put
/// `fit` in `FlipOptions::streamed_fit`: the detector then reads only the sums.
[[nodiscard]] Result<AuditRead> read_for_audit(const std::string& path, const GradientTable& table,
                                               const PipelineOptions& options);

}  // namespace quorvex_core::pipeline
