// The audit's volumes: the same choices `compute_drift`, `run_flip` and `fit_and_mask` make.
#include "quorvex/volume_plan.hpp"

#include <algorithm>

#include "quorvex/flip.hpp"

namespace quorvex_core::pipeline {

std::vector<std::size_t> volumes_used(const GradientTable& table, const PipelineOptions& options) {
  std::vector<std::size_t> used = table.b0_indices(options.b0_threshold);
  const std::vector<std::size_t> fit_b0 = table.b0_indices(options.flip_options.b0_threshold);
  used.insert(used.end(), fit_b0.begin(), fit_b0.end());
  std::optional<Shell> shell;
  if (options.shell) {
    auto picked =
        pick_shell(table.bvals(), options.b0_threshold, options.tolerance, *options.shell);
    if (picked) shell = std::move(*picked);
  } else {
    shell = select_working_shell(table, options.flip_options.b0_threshold,
                                 options.flip_options.tolerance);
  }
  if (shell) used.insert(used.end(), shell->indices.begin(), shell->indices.end());
  std::sort(used.begin(), used.end());
  used.erase(std::unique(used.begin(), used.end()), used.end());
  return used;
}

}  // namespace quorvex_core::pipeline
