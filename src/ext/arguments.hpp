// A call's arguments turned into the core's values: the option record, the gradient table, the
// mask, and the check that no output names another file of the call.
#pragma once

#include <optional>

#include "binder.hpp"
#include "quorvex/documents/table_loader.hpp"
#include "quorvex/pipeline.hpp"
#include "quorvex/volume.hpp"

namespace quorvex_ext {

/// Shell, thresholds, tolerances and strictness from the call (defaults for parameters the
/// function does not have), duplicate angle 5 degrees, the detector's fixed settings, step 1.0
/// and the identity frame map. Entries with an image replace the step and the frame map.
[[nodiscard]] quorvex_core::pipeline::PipelineOptions pipeline_options(const Arguments& args);

/// A given `grad` wins and the pair is ignored; otherwise both `bvec` and `bval` are needed, or
/// the call fails with "provide bvec and bval, or grad" before anything is read. Nothing with
/// ValueError set on failure.
[[nodiscard]] std::optional<quorvex_core::LoadedTable> load_table(const Arguments& args);

/// Reads the image named by the `mask` argument, if given, and applies the mask rule into
/// `mask` (left empty when no mask was given). False with ValueError ("NIfTI error: ...") set
/// when the image cannot be read or is neither 3-D nor 4-D.
[[nodiscard]] bool read_optional_mask(const Arguments& args,
                                      std::optional<quorvex_core::Mask>& mask);

/// Refuses (ValueError set, false returned) a call whose out_bvec, out_bval, out_grad or
/// provenance is a symbolic link or the same file as another of them or as an input (dwi, mask,
/// bvec, bval, grad), an output replacing its own input in place excepted. Runs before anything
/// is read, so a refused call costs nothing and writes nothing.
[[nodiscard]] bool refuse_aliased_outputs(const Arguments& args);

}  // namespace quorvex_ext
