#include "quorvex/shell.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace quorvex_core;
using Indices = std::vector<std::uint64_t>;

TEST(shell_test, detected_shells_grow_from_their_first_member_never_a_running_mean) {
  const auto shells = detect_shells({0, 1000, 1040, 1050, 1051, 2000}, 50.0, 0.05);
  ASSERT_EQ(shells.size(), 4U);
  EXPECT_TRUE(shells[0].is_b0);
  EXPECT_EQ(shells[0].indices, (Indices{0}));
  EXPECT_EQ(shells[1].indices, (Indices{1, 2, 3}));
  EXPECT_EQ(shells[1].nominal_b, 1030.0);
  EXPECT_EQ(shells[2].indices, (Indices{4}));
  EXPECT_EQ(shells[3].indices, (Indices{5}));
  // A slow ramp of 1 % steps would chain forever with a running mean.
  std::vector<double> ramp;
  for (int k = 0; k < 20; ++k)
    ramp.push_back(1000.0 * std::pow(1.01, k));
  const auto ramped = detect_shells(ramp, 50.0, 0.05);
  EXPECT_EQ(ramped[0].count, 5U);  // 1000 .. 1040.6; 1051.0 exceeds 1050
  EXPECT_GT(ramped.size(), 3U);
  // The b0 group, and members out of order.
  const auto unsorted = detect_shells({5, 0, 1000, 995, 1005}, 50.0, 0.05);
  ASSERT_EQ(unsorted.size(), 2U);
  EXPECT_EQ(unsorted[0].indices, (Indices{0, 1}));
  EXPECT_EQ(unsorted[0].nominal_b, 3.0);  // mean 2.5 rounds away from zero
  EXPECT_EQ(unsorted[1].indices, (Indices{2, 3, 4}));
  EXPECT_EQ(unsorted[1].mean_b, 1000.0);
  EXPECT_EQ(unsorted[1].min_b, 995.0);
  EXPECT_EQ(unsorted[1].max_b, 1005.0);
  EXPECT_TRUE(detect_shells({}, 50.0, 0.05).empty());
  EXPECT_EQ(detect_shells({50, 0}, 50.0, 0.05).size(), 1U);  // the threshold itself is b0
}

// The working shell (target 1000) and a requested one share this rule; a choice stuck on the
// first shell must fail here.
TEST(shell_test, nearest_shell_b0_summary_non_integer_bvals_and_drift) {
  const auto nominal = [](std::vector<double> b, double target) {
    return nearest_shell(b, 50.0, 0.05, target).value().nominal_b;
  };
  EXPECT_EQ(nominal({0, 300, 1100, 3000}, 1000), 1100.0);
  EXPECT_EQ(nominal({0, 3000, 2000, 1000}, 1000), 1000.0);
  EXPECT_EQ(nominal({0, 3000, 400, 2600}, 2000), 2600.0);
  EXPECT_EQ(nominal({0, 1300, 700}, 1000), 700.0);
  EXPECT_EQ(nominal({1000, 1000, 3000, 3000}, 2000), 1000.0);
  EXPECT_EQ(nominal({700, 1000, 2000}, 1e9), 2000.0);
  EXPECT_FALSE(nearest_shell({0, 10, 50}, 50.0, 0.05, 1000).has_value());
  // The b0 summary, non-integer b-values and drift.
  std::vector<double> b(67, 1000.0);
  b[0] = b[33] = b[66] = 0.0;
  const auto s = b0_summary(b, 50.0);
  EXPECT_EQ(s.count, 3U);
  EXPECT_EQ(s.spacings, (Indices{33, 33}));
  EXPECT_TRUE(b0_summary({0, 1000}, 50.0).spacings.empty());
  EXPECT_EQ(b0_summary({1000}, 50.0).count, 0U);
  // The non-integer tolerance is strict.
  EXPECT_EQ(non_integer_bvals({1000.0005, 999.9995, 1000.5, 995.002, NAN, 1000}, 0.001),
            (Indices{2, 3}));
  const auto two = b0_drift({0, 60}, {1000, 1100});
  EXPECT_NEAR(two.slope, 100.0 / 60.0, 1e-12);
  EXPECT_NEAR(two.relative_drift, 100.0 / 1050.0, 1e-12);
  EXPECT_EQ(b0_drift({3}, {500}).slope, 0.0);
  EXPECT_EQ(b0_drift({}, {}).relative_drift, 0.0);
  const auto flat = b0_drift({0, 10, 20}, {7, 7, 7});
  EXPECT_EQ(flat.slope, 0.0);
  EXPECT_EQ(flat.relative_drift, 0.0);
  EXPECT_EQ(b0_drift({0, 10}, {0, 0}).relative_drift, 0.0);
}
