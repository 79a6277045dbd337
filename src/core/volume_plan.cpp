// The audit's volumes: the same choices `compute_drift`, `run_flip` and `fit_and_mask` make.
#include "quorvex/volume_plan.hpp"

#include <algorithm>

#include "quorvex/flip.hpp"

namespace quorvex_core::pipeline {

std::vector<std::size_t> volumes_used(const GradientTable& table, const PipelineOptions& options) {
  const FlipOptions& flip = options.flip_options;
  std::vector<std::size_t> used = table.b0_indices(flip.b0_threshold);
  const auto shell = nearest_shell(table.bvals(), flip.b0_threshold, flip.tolerance,
                                   options.shell.value_or(working_b_target));
  if (shell) used.insert(used.end(), shell->indices.begin(), shell->indices.end());
  std::sort(used.begin(), used.end());
  used.erase(std::unique(used.begin(), used.end()), used.end());
  return used;
}

}  // namespace quorvex_core::pipeline
