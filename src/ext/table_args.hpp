// Turning a call's bvec/bval/grad arguments into one gradient table with its input records.
#pragma once

#include <optional>

#include "binder.hpp"
#include "quorvex/io/table_loader.hpp"

namespace quorvex_ext {

/// A given `grad` wins and the pair is ignored; otherwise both `bvec` and `bval` are needed, or
/// the call fails with "provide bvec and bval, or grad" before anything is read. Nothing with
/// ValueError set on failure.
[[nodiscard]] std::optional<quorvex_core::io::LoadedTable> load_table(const Arguments& args);

}  // namespace quorvex_ext
