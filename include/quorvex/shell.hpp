// Grouping b-values into shells, the b0 summary, non-integer b-values and the b0 signal drift.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace quorvex_core {

/// How far, relative to a shell's first b-value, another b-value may lie and still join it.
constexpr double default_shell_tolerance = 0.05;

/// One group of volumes with a common diffusion weighting.
struct Shell {
  /// Member volume indices, ascending.
  std::vector<std::uint64_t> indices;
  /// Mean b-value rounded to the nearest integer, halves away from zero.
  double nominal_b = 0.0;
  double mean_b = 0.0;
  double min_b = 0.0;
  double max_b = 0.0;
  std::uint64_t count = 0;
  bool is_b0 = false;
};

/// Where the b0 volumes sit in the series.
struct B0Summary {
  std::uint64_t count = 0;
  std::vector<std::uint64_t> indices;
  /// Differences of consecutive b0 indices (one fewer than `count`).
  std::vector<std::uint64_t> spacings;
};

/// The report's shell section.
struct ShellSummary {
  double b0_threshold = 0.0;
  double tolerance = 0.0;
  std::vector<Shell> shells;
  B0Summary b0;
  std::vector<std::uint64_t> non_integer_bvals;
};

/// How the mean b0 signal changes over the acquisition.
struct B0Drift {
  std::vector<std::uint64_t> indices;
  std::vector<double> mean_signal;
  /// Least-squares slope of `mean_signal` against `indices`, signal units per volume.
  double slope = 0.0;
  /// Peak-to-peak range over the mean of `mean_signal`; 0.1 is 10 %.
  double relative_drift = 0.0;
};

/// The b0 shell first (when there is a b0 volume), then the non-b0 shells in ascending b. A
/// group's reference is its first (smallest) member, never a running mean, so a slowly rising
/// sequence cannot chain past (1 + tolerance) times its first value.
[[nodiscard]] std::vector<Shell> detect_shells(const std::vector<double>& bvals,
                                               double b0_threshold, double tolerance);

/// The non-b0 shell nearest `target`. Shells come in ascending b, so an equal distance keeps the
/// lower one. None when every volume is b0.
[[nodiscard]] std::optional<Shell> nearest_shell(const std::vector<double>& bvals,
                                                 double b0_threshold, double tolerance,
                                                 double target);

/// One shell from its (non-empty) members.
[[nodiscard]] Shell make_shell(const std::vector<double>& bvals, std::vector<std::uint64_t> members,
                               bool is_b0);

[[nodiscard]] B0Summary b0_summary(const std::vector<double>& bvals, double b0_threshold);

/// Indices whose b-value is further than `tolerance` from the nearest integer (NaN never).
[[nodiscard]] std::vector<std::uint64_t> non_integer_bvals(const std::vector<double>& bvals,
                                                           double tolerance);

/// Slope and relative peak-to-peak range of per-volume b0 means; both 0 with fewer than two.
[[nodiscard]] B0Drift b0_drift(std::vector<std::uint64_t> indices, std::vector<double> mean_signal);

}  // namespace quorvex_core
