// Angular coverage of each shell. The pairwise loops are O(n^2) in time per shell, a few hundred
// directions as a rule, so they stay simple and sequential; what they keep is bounded.
#include "quorvex/angular.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>

#include "quorvex/shell.hpp"

namespace quorvex_core {
namespace {

constexpr double degrees_to_radians = 0.017453292519943295;
constexpr double radians_to_degrees = 57.29577951308232;
// Keeps coincident or opposite directions from making the energy infinite.
constexpr double min_charge_distance = 1e-9;
constexpr double min_singular_value = 1e-9;

double distance(const Vec3& a, const Vec3& b, double sign) {
  const double dx = a[0] + sign * b[0];
  const double dy = a[1] + sign * b[1];
  const double dz = a[2] + sign * b[2];
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}

double dot(const Vec3& a, const Vec3& b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// Coulomb energy of the direction set with each direction's antipode as a second charge (the
// sign of a gradient direction carries no information for diffusion).
double electrostatic_energy(const std::vector<Vec3>& u) {
  double energy = 0.0;
  for (std::size_t a = 0; a < u.size(); ++a) {
    for (std::size_t b = a + 1; b < u.size(); ++b) {
      energy += 1.0 / std::max(distance(u[a], u[b], -1.0), min_charge_distance);
      energy += 1.0 / std::max(distance(u[a], u[b], 1.0), min_charge_distance);
    }
  }
  return energy;
}

// Lists the first pairs within the duplicate angle and counts them all.
void find_duplicates(const std::vector<Vec3>& u, const std::vector<std::uint64_t>& indices,
                     double duplicate_angle_deg, ShellAngular& out) {
  const double limit = std::cos(duplicate_angle_deg * degrees_to_radians);
  for (std::size_t a = 0; a < u.size(); ++a) {
    for (std::size_t b = a + 1; b < u.size(); ++b) {
      const double d = dot(u[a], u[b]);
      const double s = std::min(std::fabs(d), 1.0);
      if (s > limit) {
        ++out.duplicate_total;
        if (d < 0.0) ++out.antipodal_total;
        if (out.duplicates.size() < listed_duplicate_limit) {
          out.duplicates.push_back(
              {indices[a], indices[b], std::acos(s) * radians_to_degrees, d < 0.0});
        }
      }
    }
  }
}

}  // namespace

std::optional<double> design_condition_number(const std::vector<Vec3>& directions) {
  if (directions.size() < dti_minimum_directions) return std::nullopt;
  Eigen::MatrixXd design(static_cast<Eigen::Index>(directions.size()), 6);
  for (Eigen::Index r = 0; r < design.rows(); ++r) {
    const auto& [x, y, z] = directions[static_cast<std::size_t>(r)];
    design.row(r) << x * x, y * y, z * z, 2 * x * y, 2 * x * z, 2 * y * z;
  }
  const Eigen::JacobiSVD<Eigen::MatrixXd> svd(design);
  const auto& sigma = svd.singularValues();
  const double smallest = sigma.minCoeff();
  if (!(smallest > min_singular_value)) return std::nullopt;
  return sigma.maxCoeff() / smallest;
}

AngularSummary analyze(const GradientTable& table, double b0_threshold, double tolerance,
                       double duplicate_angle_deg) {
  const GradientTable unit = table.normalized(b0_threshold);
  AngularSummary summary;
  summary.duplicate_angle_deg = duplicate_angle_deg;
  std::vector<Vec3> u;
  for (const Shell& shell : detect_shells(table.bvals(), b0_threshold, tolerance)) {
    if (shell.is_b0) continue;
    u.clear();
    for (const std::uint64_t i : shell.indices)
      u.push_back(unit.directions()[i]);
    ShellAngular out;
    out.nominal_b = shell.nominal_b;
    out.count = shell.count;
    out.electrostatic_energy = electrostatic_energy(u);
    out.condition_number = design_condition_number(u);
    out.meets_dti_minimum = shell.count >= dti_minimum_directions;
    out.meets_dti_recommended = shell.count >= dti_recommended_directions;
    out.meets_csd_minimum = shell.count >= csd_minimum_directions;
    find_duplicates(u, shell.indices, duplicate_angle_deg, out);
    summary.shells.push_back(std::move(out));
  }
  return summary;
}

}  // namespace quorvex_core
