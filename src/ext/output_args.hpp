// The output arguments of the writing entries, checked against each other and the inputs.
#pragma once

#include "binder.hpp"

namespace quorvex_ext {

/// Refuses (ValueError set, false returned) a call whose out_bvec, out_bval, out_grad or
/// provenance is a symbolic link or the same file as another of them or as an input (dwi, mask,
/// bvec, bval, grad), an output replacing its own input in place excepted. Runs before anything
/// is read, so a refused call costs nothing and writes nothing.
[[nodiscard]] bool refuse_aliased_outputs(const Arguments& args);

}  // namespace quorvex_ext
