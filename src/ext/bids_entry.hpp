// The dataset audit entry.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "binder.hpp"
#include "quorvex/bids_batch.hpp"

namespace quorvex_ext {

/// The batch options of a call with the dataset audit's option parameters: the pipeline options
/// as every entry fills them and the optional step each run hands to its own audit.
[[nodiscard]] quorvex_core::bids_batch::BatchOptions batch_options(const Arguments& args);

/// The compact answer of `audit_bids`: exit_code (3 on WARN, else 0), results (dwi, name,
/// status per run), status, summary_path; keys sorted, paths as display text.
[[nodiscard]] std::string bids_answer(const quorvex_core::bids_batch::BatchOutcome& outcome);

}  // namespace quorvex_ext
