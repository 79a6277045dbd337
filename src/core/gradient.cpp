// Gradient table construction and its derived views (b0 indices, norms, normalisation,
// b-value recovery).
#include "quorvex/gradient.hpp"

#include <cmath>
#include <limits>
#include <utility>

namespace quorvex_core {
namespace {

constexpr double epsilon = std::numeric_limits<double>::epsilon();

}  // namespace

Result<GradientTable> GradientTable::create(std::vector<Vec3> directions,
                                            std::vector<double> bvals) {
  if (directions.size() != bvals.size()) {
    return fail(Error::table_mismatch(directions.size(), bvals.size()));
  }
  return GradientTable(std::move(directions), std::move(bvals));
}

std::vector<std::size_t> GradientTable::b0_indices(double b0_threshold) const {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < bvals_.size(); ++i) {
    if (bvals_[i] <= b0_threshold) out.push_back(i);
  }
  return out;
}

NormStats GradientTable::norm_stats(double b0_threshold, double norm_tolerance) const {
  NormStats stats;
  stats.tolerance = norm_tolerance;
  double sum = 0.0;
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < bvals_.size(); ++i) {
    // A NaN b-value is not "greater than the threshold", so it is not a non-b0 volume either.
    if (!(bvals_[i] > b0_threshold)) continue;
    const double n = norm(directions_[i]);
    ++stats.non_b0_count;
    if (std::fabs(n - 1.0) > norm_tolerance) ++stats.non_unit_count;
    // fmin/fmax skip a NaN operand, which is the rule for the extremes.
    lo = std::fmin(lo, n);
    hi = std::fmax(hi, n);
    sum += n;
  }
  if (stats.non_b0_count == 0) return stats;
  const auto count = static_cast<double>(stats.non_b0_count);
  stats.non_unit_fraction = static_cast<double>(stats.non_unit_count) / count;
  stats.norm_min = lo;
  stats.norm_max = hi;
  stats.norm_mean = sum / count;
  return stats;
}

GradientTable GradientTable::normalized(double b0_threshold) const {
  std::vector<Vec3> dirs;
  dirs.reserve(directions_.size());
  for (std::size_t i = 0; i < bvals_.size(); ++i) {
    const Vec3& d = directions_[i];
    const double n = norm(d);
    if (bvals_[i] <= b0_threshold || n < epsilon) {
      dirs.push_back({0.0, 0.0, 0.0});
    } else {
      dirs.push_back({d[0] / n, d[1] / n, d[2] / n});
    }
  }
  return {std::move(dirs), bvals_};
}

std::optional<BvalRecovery> GradientTable::recover_bvals(double b0_threshold) const {
  double max_norm = 0.0;
  double b_nominal = 0.0;
  bool any_non_b0 = false;
  for (std::size_t i = 0; i < bvals_.size(); ++i) {
    if (!(bvals_[i] > b0_threshold)) continue;
    any_non_b0 = true;
    max_norm = std::fmax(max_norm, norm(directions_[i]));
    b_nominal = std::fmax(b_nominal, bvals_[i]);
  }
  if (!any_non_b0 || max_norm < epsilon) return std::nullopt;
  GradientTable out = normalized(b0_threshold);
  for (std::size_t i = 0; i < bvals_.size(); ++i) {
    if (bvals_[i] <= b0_threshold) {
      out.bvals_[i] = 0.0;
      continue;
    }
    const double r = norm(directions_[i]) / max_norm;
    out.bvals_[i] = std::round(r * (b_nominal * r));
  }
  return BvalRecovery{std::move(out), b_nominal, max_norm};
}

}  // namespace quorvex_core
