// Loading a gradient table from an FSL pair or an MRtrix file, with the input records.
#pragma once

#include <string>
#include <vector>

#include "quorvex/error.hpp"
#include "quorvex/gradient.hpp"
#include "quorvex/input_file.hpp"

namespace quorvex_core {

/// A table and the files it came from: bvec then bval for a pair, the grad file alone for
/// MRtrix.
struct LoadedTable {
  GradientTable table;
  std::vector<InputFile> inputs;
  /// The frame its directions are in; every frame map of the run is resolved from it.
  InputFormat format = InputFormat::Fsl;
};

/// Reads and parses an FSL pair, bval first, so a bad bval is reported before the bvec is even
/// opened. `Io`, `Parse` or `TableMismatch`. On failure `failed_file`, when given, is set to the
/// file the failure came from (the bvec for a count mismatch).
[[nodiscard]] Result<GradientTable> read_fsl_pair(const std::string& bvec, const std::string& bval,
                                                  std::string* failed_file = nullptr);

/// `read_fsl_pair`, then the input records of bvec and bval, in that order.
[[nodiscard]] Result<LoadedTable> load_fsl(const std::string& bvec, const std::string& bval);

/// Reads, parses and records an MRtrix grad file. `Io` or `Parse`.
[[nodiscard]] Result<LoadedTable> load_mrtrix(const std::string& grad);

}  // namespace quorvex_core
