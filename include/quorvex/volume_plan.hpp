// Which volumes of a DWI a subject pipeline will look at, known from the table alone, so the
// reader can leave every other volume on disk.
#pragma once

#include <cstddef>
#include <vector>

#include "quorvex/gradient.hpp"
#include "quorvex/pipeline.hpp"

namespace quorvex_core::pipeline {

/// In increasing order: the b0 volumes (for the drift and the fit) and the volumes of the
/// working shell (the one `options.shell` asks for, else the detector's choice). Indices are the
/// table's; a table that does not match the image is refused later, as it would be anyway.
[[nodiscard]] std::vector<std::size_t> volumes_used(const GradientTable& table,
                                                    const PipelineOptions& options);

}  // namespace quorvex_core::pipeline
