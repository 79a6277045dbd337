// The parameter tables of the module's functions.
#pragma once

#include "binder.hpp"

namespace quorvex_ext::signatures {

extern Signature inspect;
extern Signature audit;
extern Signature audit_with_glyphs;
extern Signature audit_profiled;
extern Signature audit_profiled_with_glyphs;
extern Signature audit_bids;
extern Signature detect_flip;
extern Signature detect_flip_with_glyphs;
extern Signature repair;
extern Signature repair_with_glyphs;
extern Signature recompute_bval;

}  // namespace quorvex_ext::signatures
