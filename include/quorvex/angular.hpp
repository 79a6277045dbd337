// Per-shell angular coverage: electrostatic energy, DTI design conditioning, direction-count
// flags and near-duplicate direction pairs.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "quorvex/gradient.hpp"

namespace quorvex_core {

/// Two directions of one shell whose axes are closer than the duplicate angle.
struct DuplicatePair {
  std::uint64_t i = 0;
  std::uint64_t j = 0;
  /// Angle between the two axes (0 for identical or exactly opposite directions).
  double angle_deg = 0.0;
  /// The directions point into opposite hemispheres.
  bool antipodal = false;
};

struct ShellAngular {
  double nominal_b = 0.0;
  std::uint64_t count = 0;
  double electrostatic_energy = 0.0;
  /// Absent below 6 directions or when the design matrix is rank-deficient.
  std::optional<double> condition_number;
  bool meets_dti_minimum = false;
  bool meets_dti_recommended = false;
  bool meets_csd_minimum = false;
  /// The first `listed_duplicate_limit` pairs in (i, j) order.
  std::vector<DuplicatePair> duplicates;
  /// Every pair within the duplicate angle, listed or not, and how many of them are antipodal.
  std::uint64_t duplicate_total = 0;
  std::uint64_t antipodal_total = 0;
};

struct AngularSummary {
  double duplicate_angle_deg = 0.0;
  /// One entry per non-b0 shell, ascending b.
  std::vector<ShellAngular> shells;
};

/// Most near-duplicate pairs listed per shell: a table of one direction repeated n times has
/// n(n-1)/2 of them, and past a few the list says nothing the count does not.
constexpr std::size_t listed_duplicate_limit = 1000;

/// Fewest directions for a determined tensor fit, for a robust one, and for CSD.
constexpr std::uint64_t dti_minimum_directions = 6;
constexpr std::uint64_t dti_recommended_directions = 30;
constexpr std::uint64_t csd_minimum_directions = 45;

[[nodiscard]] AngularSummary analyze(const GradientTable& table, double b0_threshold,
                                     double tolerance, double duplicate_angle_deg);

/// sigma_max / sigma_min of the n x 6 DTI design matrix of unit directions; absent below 6
/// directions or when sigma_min <= 1e-9 (rank-deficient).
[[nodiscard]] std::optional<double> design_condition_number(const std::vector<Vec3>& directions);

}  // namespace quorvex_core
