// The audit's volumes: the same choices `compute_drift`, `run_flip` and `fit_and_mask` make.
#include "quorvex/volume_plan.hpp"

#include <algorithm>

#include "quorvex/flip.hpp"
#include "quorvex/volume_stream.hpp"
#include "tensor_feed.hpp"

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

Result<AuditRead> read_for_audit(const std::string& path, const GradientTable& table,
                                 const PipelineOptions& options) {
  const FlipOptions& flip = options.flip_options;
  const std::vector<std::size_t> b0 = table.b0_indices(flip.b0_threshold);
  const auto shell = nearest_shell(table.bvals(), flip.b0_threshold, flip.tolerance,
                                   options.shell.value_or(working_b_target));
  // Without a b0 the fit's reference is the shell itself, which must then be kept.
  std::optional<TensorFeeder> feeder;
  if (!b0.empty() && shell) {
    if (auto design = tensor_design(table, b0, shell->indices)) {
      feeder.emplace(std::move(*design), std::vector<std::uint64_t>(b0.begin(), b0.end()),
                     flip.min_signal);
    }
  }
  if (!feeder) {
    auto read = stream_volume(path, volumes_used(table, options));
    if (!read) return fail(read.error());
    return AuditRead{std::move(*read), nullptr, {}};
  }
  auto read = stream_volume(path, b0, {}, &*feeder);
  if (!read) return fail(read.error());
  AuditRead out{std::move(*read), nullptr, feeder->busy()};
  if (auto sums = std::move(*feeder).result()) {
    out.fit = std::make_shared<TensorSums>(std::move(*sums));
  }
  return out;
}

}  // namespace quorvex_core::pipeline
