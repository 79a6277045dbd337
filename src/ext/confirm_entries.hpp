// The private module's single-subject entries: the specified pipelines with the confirmed
// verdict beside the coherence one, from one image read and one fit.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "binder.hpp"

namespace quorvex_ext::bodies {

/// The confirmed verdict alone, as compact JSON text.
PyObject* confirm_flip(const Arguments& args);
/// (report JSON, confirmed JSON, run status, timings): an audit, or a detection with
/// `detect_only`.
PyObject* audit_confirmed(const Arguments& args);
/// (report JSON, confirmed JSON, run status): a repair decided by the confirmed verdict.
PyObject* repair_confirmed(const Arguments& args);

}  // namespace quorvex_ext::bodies
