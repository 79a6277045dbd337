#include "quorvex/angular.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace quorvex_core;

namespace {

constexpr double pi = 3.14159265358979323846;

GradientTable shell_of(const std::vector<Vec3>& dirs, double b = 1000.0) {
  return *GradientTable::create(dirs, std::vector<double>(dirs.size(), b));
}

// Well-spread unit directions on a golden-angle spiral over one hemisphere.
std::vector<Vec3> spiral(std::size_t n) {
  std::vector<Vec3> dirs;
  for (std::size_t k = 0; k < n; ++k) {
    const double z = 1.0 - (static_cast<double>(k) + 0.5) / static_cast<double>(n);
    const double r = std::sqrt(1.0 - z * z);
    const double phi = static_cast<double>(k) * pi * (3.0 - std::sqrt(5.0));
    dirs.push_back({r * std::cos(phi), r * std::sin(phi), z});
  }
  return dirs;
}

Vec3 at_angle_from_x(double degrees) {
  const double a = degrees * pi / 180.0;
  return {std::cos(a), std::sin(a), 0.0};
}

}  // namespace

TEST(angular_test, six_axis_scheme_is_rank_deficient_with_antipodal_pairs_and_b0_has_none) {
  const auto summary =
      analyze(shell_of({{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {-1, 0, 0}, {0, -1, 0}, {0, 0, -1}}), 50.0,
              0.05, 5.0);
  ASSERT_EQ(summary.shells.size(), 1U);
  const ShellAngular& s = summary.shells[0];
  EXPECT_FALSE(s.condition_number.has_value());
  EXPECT_TRUE(s.meets_dti_minimum);
  ASSERT_EQ(s.duplicates.size(), 3U);
  for (const auto& pair : s.duplicates) {
    EXPECT_EQ(pair.angle_deg, 0.0);
    EXPECT_TRUE(pair.antipodal);
    EXPECT_EQ(pair.j, pair.i + 3);
  }
  EXPECT_TRUE(analyze(shell_of({{0, 0, 0}, {1, 0, 0}}, 0.0), 50.0, 0.05, 5.0).shells.empty());
}

TEST(angular_test, direction_count_flags_and_condition_number) {
  const auto five = analyze(shell_of(spiral(5)), 50.0, 0.05, 5.0).shells[0];
  EXPECT_FALSE(five.condition_number.has_value());
  EXPECT_FALSE(five.meets_dti_minimum);
  const struct {
    std::size_t n;
    bool dti_min, dti_rec, csd;
  } cases[] = {{6, true, false, false},
               {29, true, false, false},
               {30, true, true, false},
               {44, true, true, false},
               {45, true, true, true}};
  for (const auto& c : cases) {
    const auto s = analyze(shell_of(spiral(c.n)), 50.0, 0.05, 5.0).shells[0];
    EXPECT_EQ(s.meets_dti_minimum, c.dti_min) << c.n;
    EXPECT_EQ(s.meets_dti_recommended, c.dti_rec) << c.n;
    EXPECT_EQ(s.meets_csd_minimum, c.csd) << c.n;
    ASSERT_TRUE(s.condition_number.has_value()) << c.n;
    EXPECT_GE(*s.condition_number, 1.0);
    EXPECT_LT(*s.condition_number, 10.0) << c.n;
  }
}

TEST(angular_test, duplicate_angle_threshold) {
  const auto near = [](double degrees) {
    return analyze(shell_of({{1, 0, 0}, at_angle_from_x(degrees), {0, 0, 1}}), 50.0, 0.05, 5.0)
        .shells[0]
        .duplicates;
  };
  ASSERT_EQ(near(4.9).size(), 1U);
  EXPECT_NEAR(near(4.9)[0].angle_deg, 4.9, 1e-9);
  EXPECT_FALSE(near(4.9)[0].antipodal);
  EXPECT_TRUE(near(5.1).empty());
  const auto opposite = near(179.0);
  ASSERT_EQ(opposite.size(), 1U);
  EXPECT_NEAR(opposite[0].angle_deg, 1.0, 1e-9);
  EXPECT_TRUE(opposite[0].antipodal);
}

TEST(angular_test, energy_and_unnormalised_directions) {
  // Two orthogonal directions: |a-b| = |a+b| = sqrt(2), so the energy is 2/sqrt(2).
  const auto s = analyze(shell_of({{1, 0, 0}, {0, 1, 0}}), 50.0, 0.05, 5.0).shells[0];
  EXPECT_NEAR(s.electrostatic_energy, std::sqrt(2.0), 1e-12);
  // Coincident directions stay finite thanks to the distance floor.
  const auto same = analyze(shell_of({{1, 0, 0}, {1, 0, 0}}), 50.0, 0.05, 5.0).shells[0];
  EXPECT_NEAR(same.electrostatic_energy, 1e9 + 0.5, 1e-3);
  EXPECT_EQ(analyze(shell_of({{1, 0, 0}}), 50.0, 0.05, 5.0).shells[0].electrostatic_energy, 0.0);
  auto dirs = spiral(30);
  auto scaled = dirs;
  for (auto& d : scaled)
    d = {d[0] * 3, d[1] * 3, d[2] * 3};
  const auto a = analyze(shell_of(dirs), 50.0, 0.05, 5.0).shells[0];
  const auto b = analyze(shell_of(scaled), 50.0, 0.05, 5.0).shells[0];
  EXPECT_NEAR(a.electrostatic_energy, b.electrostatic_energy, 1e-9);
  EXPECT_NEAR(*a.condition_number, *b.condition_number, 1e-9);
}

// One direction repeated n times has n(n-1)/2 duplicate pairs; only the first are kept, in
// (i, j) order, and the totals still count every one.
TEST(angular_test, listed_pairs_are_capped_and_totals_kept) {
  constexpr std::size_t n = 100;
  std::vector<Vec3> dirs;
  for (std::size_t k = 0; k < n; ++k)
    dirs.push_back(k % 2 == 0 ? Vec3{0, 0, 1} : Vec3{0, 0, -1});
  dirs.push_back({1, 0, 0});
  const ShellAngular s = analyze(shell_of(dirs), 50.0, 0.05, 5.0).shells[0];
  EXPECT_EQ(s.duplicate_total, n * (n - 1) / 2);
  EXPECT_EQ(s.antipodal_total, (n / 2) * (n / 2));
  ASSERT_EQ(s.duplicates.size(), listed_duplicate_limit);
  EXPECT_EQ(s.duplicates.front().j, 1U);
  // The thousandth pair of 100 directions in (i, j) order.
  EXPECT_EQ(s.duplicates.back().i, 10U);
  EXPECT_EQ(s.duplicates.back().j, 65U);
}
