// The bodies of the module's entries: each runs after its arguments are bound and converted,
// inside the call boundary, and returns a new reference or nullptr with an exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "binder.hpp"

namespace quorvex_ext::bodies {

// A table alone.
PyObject* inspect(const Arguments& args);
PyObject* recompute_bval(const Arguments& args);

// One subject with its image (optional for audit).
PyObject* audit(const Arguments& args);
PyObject* audit_with_glyphs(const Arguments& args);
PyObject* audit_profiled(const Arguments& args);
PyObject* audit_profiled_with_glyphs(const Arguments& args);
PyObject* detect_flip(const Arguments& args);
PyObject* detect_flip_with_glyphs(const Arguments& args);
PyObject* repair(const Arguments& args);
PyObject* repair_with_glyphs(const Arguments& args);

// A whole BIDS dataset: the batch, then its answer; a failed batch raises ValueError with the
// batch's text unchanged.
PyObject* audit_bids(const Arguments& args);

// The private module's single-subject entries: the pipelines above with the confirmed verdict
// beside the coherence one, from one image read and one fit.
/// The confirmed verdict alone, as compact JSON text.
PyObject* confirm_flip(const Arguments& args);
/// (report JSON, confirmed JSON, run status, timings): an audit, or a detection with
/// `detect_only`.
PyObject* audit_confirmed(const Arguments& args);
/// (report JSON, confirmed JSON, run status): a repair decided by the confirmed verdict.
PyObject* repair_confirmed(const Arguments& args);

}  // namespace quorvex_ext::bodies
