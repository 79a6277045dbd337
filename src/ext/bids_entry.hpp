// The dataset audit entry.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "binder.hpp"
#include "quorvex/bids_batch.hpp"

namespace quorvex_ext {

/// The compact answer of `audit_bids`: exit_code (3 on WARN, else 0), results (dwi, name,
/// status per run), status, summary_path; keys sorted, paths as display text.
[[nodiscard]] std::string bids_answer(const quorvex_core::bids_batch::BatchOutcome& outcome);

}  // namespace quorvex_ext
