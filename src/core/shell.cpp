// Shell detection over b-values: first-member reference grouping, b0 summary, drift.
#include "quorvex/shell.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace quorvex_core {

Shell make_shell(const std::vector<double>& bvals, std::vector<std::uint64_t> members, bool is_b0) {
  std::sort(members.begin(), members.end());
  Shell shell;
  shell.count = members.size();
  shell.is_b0 = is_b0;
  double sum = 0.0;
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  for (const std::uint64_t i : members) {
    const double b = bvals[i];
    sum += b;
    lo = std::fmin(lo, b);
    hi = std::fmax(hi, b);
  }
  shell.mean_b = sum / static_cast<double>(shell.count);
  shell.nominal_b = std::round(shell.mean_b);
  shell.min_b = lo;
  shell.max_b = hi;
  shell.indices = std::move(members);
  return shell;
}

std::vector<Shell> detect_shells(const std::vector<double>& bvals, double b0_threshold,
                                 double tolerance) {
  std::vector<Shell> shells;
  std::vector<std::uint64_t> b0;
  std::vector<std::uint64_t> weighted;
  for (std::uint64_t i = 0; i < bvals.size(); ++i) {
    if (bvals[i] <= b0_threshold) {
      b0.push_back(i);
    } else if (bvals[i] > b0_threshold) {
      weighted.push_back(i);
    }
  }
  if (!b0.empty()) shells.push_back(make_shell(bvals, std::move(b0), true));
  std::stable_sort(weighted.begin(), weighted.end(),
                   [&](std::uint64_t a, std::uint64_t b) { return bvals[a] < bvals[b]; });
  std::vector<std::uint64_t> group;
  double reference = 0.0;
  for (const std::uint64_t i : weighted) {
    if (!group.empty() && bvals[i] > (1.0 + tolerance) * reference) {
      shells.push_back(make_shell(bvals, std::move(group), false));
      group.clear();
    }
    if (group.empty()) reference = bvals[i];
    group.push_back(i);
  }
  if (!group.empty()) shells.push_back(make_shell(bvals, std::move(group), false));
  return shells;
}

std::optional<Shell> nearest_shell(const std::vector<double>& bvals, double b0_threshold,
                                   double tolerance, double target) {
  std::optional<Shell> choice;
  for (Shell& shell : detect_shells(bvals, b0_threshold, tolerance)) {
    if (shell.is_b0) continue;
    if (!choice || std::fabs(choice->nominal_b - target) > std::fabs(shell.nominal_b - target)) {
      choice = std::move(shell);
    }
  }
  return choice;
}

B0Summary b0_summary(const std::vector<double>& bvals, double b0_threshold) {
  B0Summary summary;
  for (std::uint64_t i = 0; i < bvals.size(); ++i) {
    if (bvals[i] <= b0_threshold) summary.indices.push_back(i);
  }
  summary.count = summary.indices.size();
  for (std::size_t k = 1; k < summary.indices.size(); ++k) {
    summary.spacings.push_back(summary.indices[k] - summary.indices[k - 1]);
  }
  return summary;
}

std::vector<std::uint64_t> non_integer_bvals(const std::vector<double>& bvals, double tolerance) {
  std::vector<std::uint64_t> out;
  for (std::uint64_t i = 0; i < bvals.size(); ++i) {
    if (std::fabs(bvals[i] - std::round(bvals[i])) > tolerance) out.push_back(i);
  }
  return out;
}

B0Drift b0_drift(std::vector<std::uint64_t> indices, std::vector<double> mean_signal) {
  B0Drift drift;
  const std::size_t n = std::min(indices.size(), mean_signal.size());
  if (n >= 2) {
    const auto count = static_cast<double>(n);
    double x_sum = 0.0;
    double y_sum = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
      x_sum += static_cast<double>(indices[k]);
      y_sum += mean_signal[k];
    }
    const double x_mean = x_sum / count;
    const double y_mean = y_sum / count;
    double sxy = 0.0;
    double sxx = 0.0;
    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();
    for (std::size_t k = 0; k < n; ++k) {
      const double dx = static_cast<double>(indices[k]) - x_mean;
      sxy += dx * (mean_signal[k] - y_mean);
      sxx += dx * dx;
      lo = std::fmin(lo, mean_signal[k]);
      hi = std::fmax(hi, mean_signal[k]);
    }
    drift.slope = sxx > 0.0 ? sxy / sxx : 0.0;
    drift.relative_drift = y_mean != 0.0 ? (hi - lo) / y_mean : 0.0;
  }
  drift.indices = std::move(indices);
  drift.mean_signal = std::move(mean_signal);
  return drift;
}

}  // namespace quorvex_core
