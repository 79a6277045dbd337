// The decision rule of the confirmed verdict, apart from the measurements it judges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quorvex_core {

struct ConfirmOptions;

/// What the confirmed verdict measured, as the rule reads it.
struct Evidence {
  std::uint64_t seeds = 0;
  std::uint64_t mask_voxels = 0;
  std::string best_label;
  double best_length = 0.0;
  double relative_gap = 0.0;
  double bootstrap_gap_5 = 0.0;
  double worst_half_gap = 0.0;
  /// Seeds in the smallest of the six halves, and which half had the worst gap ("low x", ...).
  std::size_t smallest_half = 0;
  std::string worst_half;
  bool coherence_step_valid = true;
  bool coherence_sampled = false;
  /// The coherence index's best class is strictly above its runner-up...
  bool coherence_strict = false;
  /// ...and is the tracking's best class.
  bool coherence_same_class = false;
  std::string coherence_label;
};

/// Why the evidence is not decisive, one line per failed condition; empty when it is.
[[nodiscard]] std::vector<std::string> warn_reasons(const Evidence& evidence,
                                                    const ConfirmOptions& options);

}  // namespace quorvex_core
