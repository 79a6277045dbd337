// The audit's volumes: the same choices `compute_drift`, `run_flip` and `fit_and_mask` make.
#include "quorvex/volume_plan.hpp"

#include <algorithm>

#include "quorvex/flip.hpp"
#include "quorvex/volume_stream.hpp"
#include "tensor_feed.hpp"

namespace quorvex_core::pipeline {
namespace {

// The b0 volumes and the working shell, as the drift and the detector will choose them.
struct Choice {
  std::vector<std::size_t> b0;
  std::optional<Shell> shell;
};

Choice choose(const GradientTable& table, const PipelineOptions& options) {
  const FlipOptions& flip = options.flip_options;
  return {table.b0_indices(flip.b0_threshold),
          nearest_shell(table.bvals(), flip.b0_threshold, flip.tolerance,
                        options.shell.value_or(working_b_target))};
}

std::vector<std::size_t> used_by(const Choice& choice) {
  std::vector<std::size_t> used = choice.b0;
  if (choice.shell)
    used.insert(used.end(), choice.shell->indices.begin(), choice.shell->indices.end());
  std::sort(used.begin(), used.end());
  used.erase(std::unique(used.begin(), used.end()), used.end());
  return used;
}

}  // namespace

std::vector<std::size_t> volumes_used(const GradientTable& table, const PipelineOptions& options) {
  return used_by(choose(table, options));
}

Result<AuditRead> read_for_audit(const std::string& path, const GradientTable& table,
                                 const PipelineOptions& options) {
  const Choice choice = choose(table, options);
  const std::vector<std::size_t>& b0 = choice.b0;
  // Without a b0 the fit's reference is the shell itself, which must then be kept.
  std::optional<TensorFeeder> feeder;
  if (!b0.empty() && choice.shell) {
    if (auto design = tensor_design(table, b0, choice.shell->indices)) {
      feeder.emplace(std::move(*design), std::vector<std::uint64_t>(b0.begin(), b0.end()),
                     options.flip_options.min_signal);
    }
  }
  if (!feeder) {
    auto read = stream_volume(path, used_by(choice));
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
