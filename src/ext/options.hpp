// The pipeline option record an entry fills from its arguments.
#pragma once

#include "binder.hpp"
#include "quorvex/pipeline.hpp"

namespace quorvex_ext {

/// Shell, thresholds, tolerances and strictness from the call (defaults for parameters the
/// function does not have), duplicate angle 5 degrees, the detector's fixed settings, step 1.0
/// and the identity frame map. Entries with an image replace the step and the frame map.
[[nodiscard]] quorvex_core::pipeline::PipelineOptions pipeline_options(const Arguments& args);

}  // namespace quorvex_ext
