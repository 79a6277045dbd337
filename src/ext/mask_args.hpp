// Turning a call's optional mask argument into a voxel mask.
#pragma once

#include <optional>

#include "binder.hpp"
#include "quorvex/volume.hpp"

namespace quorvex_ext {

/// Reads the image named by the `mask` argument, if given, and applies the mask rule into
/// `mask` (left empty when no mask was given). False with ValueError ("NIfTI error: ...") set
/// when the image cannot be read or is neither 3-D nor 4-D.
[[nodiscard]] bool read_optional_mask(const Arguments& args,
                                      std::optional<quorvex_core::Mask>& mask);

}  // namespace quorvex_ext
