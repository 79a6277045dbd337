// Names, kinds and defaults of every parameter, in signature order.
#include "signatures.hpp"

#include <array>

#include "params.hpp"

namespace quorvex_ext::signatures {
namespace {

using params::b0_threshold;
using params::detect_flip_params;
using params::flag;
using params::image_audit_params;
using params::norm_tolerance;
using params::optional_number;
using params::optional_path;
using params::repair_params;
using params::required_path;
using params::tolerance;

constexpr std::array inspect_params{
    optional_path("bvec"), optional_path("bval"),    optional_path("grad"), tolerance,
    b0_threshold,          optional_number("shell"), flag("strict"),        norm_tolerance,
};

constexpr std::array audit_params{
    optional_path("bvec"), optional_path("bval"),    optional_path("grad"),
    optional_path("dwi"),  optional_path("mask"),    tolerance,
    b0_threshold,          optional_number("shell"), optional_number("step"),
    flag("strict"),        norm_tolerance,
};

constexpr std::array audit_bids_params{
    required_path("root"),   tolerance,      b0_threshold,   optional_number("shell"),
    optional_number("step"), flag("strict"), norm_tolerance,
};

constexpr std::array recompute_bval_params{
    required_path("out_bvec"),
    required_path("out_bval"),
    optional_path("bvec"),
    optional_path("bval"),
    optional_path("grad"),
    optional_path("out_grad"),
    optional_path("provenance"),
    b0_threshold,
    flag("dry_run"),
    flag("in_place"),
};

}  // namespace

Signature inspect{"inspect", inspect_params};
Signature audit{"audit", audit_params};
Signature audit_with_glyphs{"audit_with_glyphs", image_audit_params};
Signature audit_profiled{
    "audit_profiled", image_audit_params,
    "One instrumented audit: returns the report JSON plus a per-stage wall-clock\n"
    "split (`decompress`/`convert`/`fit`/`coherence`/`other`/`total`, seconds).\n"
    "The report is byte-identical to `audit`; only the timing instrumentation is\n"
    "added, so this drives the Python CLI's `--profile`."};
Signature audit_profiled_with_glyphs{"audit_profiled_with_glyphs", image_audit_params};
Signature audit_bids{
    "audit_bids", audit_bids_params,
    "Audit every DWI under a BIDS root (shared `bids_batch` core path). Writes the\n"
    "per-run and dataset reports under `<root>/derivatives/quorvex/` and returns a\n"
    "small JSON summary (`status`, `exit_code`, `summary_path`, `results`) for the\n"
    "caller to print. The exit code blocks only on WARN."};
Signature detect_flip{"detect_flip", detect_flip_params};
Signature detect_flip_with_glyphs{"detect_flip_with_glyphs", detect_flip_params};
Signature repair{"repair", repair_params};
Signature repair_with_glyphs{"repair_with_glyphs", repair_params};
Signature recompute_bval{
    "recompute_bval", recompute_bval_params,
    "Opt-in b-value recovery from amplitude-encoded bvecs. Never reached from\n"
    "`repair`; returns a JSON before/after summary."};

}  // namespace quorvex_ext::signatures
