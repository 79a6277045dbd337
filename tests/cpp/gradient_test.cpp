#include "quorvex/gradient.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "test_support.hpp"

using quorvex_core::GradientTable;
using quorvex_core::Vec3;

namespace {

GradientTable table(std::vector<Vec3> dirs, std::vector<double> bvals) {
  auto t = GradientTable::create(std::move(dirs), std::move(bvals));
  EXPECT_TRUE(t.has_value());
  return std::move(*t);
}

}  // namespace

TEST(gradient_test, lengths_must_match_and_the_threshold_itself_is_b0) {
  EXPECT_ERROR(GradientTable::create(std::vector<Vec3>(64), std::vector<double>(63)), TableMismatch,
               "gradient table mismatch: 64 directions but 63 b-values");
  EXPECT_TRUE(GradientTable::create({}, {}).has_value());
  const auto t = table({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {0, 50, 50.0000001, 1000});
  EXPECT_EQ(t.b0_indices(50.0), (std::vector<std::size_t>{0, 1}));
}

TEST(gradient_test, norm_stats) {
  const auto at_tolerance =
      table({{1.25, 0, 0}, {0.75, 0, 0}, {1.2500001, 0, 0}}, {1000, 1000, 1000});
  const auto s = at_tolerance.norm_stats(50.0, 0.25);
  EXPECT_EQ(s.non_b0_count, 3U);
  EXPECT_EQ(s.non_unit_count, 1U);
  EXPECT_DOUBLE_EQ(s.non_unit_fraction, 1.0 / 3.0);
  EXPECT_DOUBLE_EQ(s.norm_min, 0.75);
  EXPECT_DOUBLE_EQ(s.norm_max, 1.2500001);
  // 1.05 - 1 exceeds 0.05 in double precision, so it counts.
  EXPECT_EQ(table({{1.05, 0, 0}}, {1000}).norm_stats(50.0, 0.05).non_unit_count, 1U);
  // Only b0 volumes: zero stats and no recovery.
  const auto b0 = table({{1, 0, 0}, {0, 0, 0}}, {0, 5});
  const auto z = b0.norm_stats(50.0, 0.05);
  EXPECT_EQ(z.non_b0_count, 0U);
  EXPECT_EQ(z.norm_min, 0.0);
  EXPECT_EQ(z.norm_max, 0.0);
  EXPECT_EQ(z.norm_mean, 0.0);
  EXPECT_EQ(z.tolerance, 0.05);
  EXPECT_FALSE(b0.recover_bvals(50.0).has_value());
  // A NaN norm is skipped by the extremes.
  const auto n =
      table({{NAN, 0, 0}, {2, 0, 0}, {0.5, 0, 0}}, {1000, 1000, 1000}).norm_stats(50, 0.05);
  EXPECT_EQ(n.norm_min, 0.5);
  EXPECT_EQ(n.norm_max, 2.0);
  EXPECT_TRUE(std::isnan(n.norm_mean));
}

TEST(gradient_test, normalized_and_recovered_tables) {
  const auto n = table({{3, 0, 4}, {0, 0, 0}, {1, 1, 1}, {1e-17, 0, 0}}, {1000, 1000, 0, 1000})
                     .normalized(50.0);
  EXPECT_EQ(n.directions()[0], (Vec3{0.6, 0.0, 0.8}));
  EXPECT_EQ(n.directions()[1], (Vec3{0, 0, 0}));
  EXPECT_EQ(n.directions()[2], (Vec3{0, 0, 0}));
  EXPECT_EQ(n.directions()[3], (Vec3{0, 0, 0}));
  EXPECT_EQ(n.bvals(), (std::vector<double>{1000, 1000, 0, 1000}));
  const auto r = table({{0, 0, 0}, {1, 0, 0}, {0, 0.5, 0}}, {0, 1000, 1000}).recover_bvals(50.0);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->table.bvals(), (std::vector<double>{0, 1000, 250}));
  EXPECT_EQ(r->table.directions()[2], (Vec3{0, 1, 0}));
  EXPECT_EQ(r->b_nominal, 1000.0);
  EXPECT_EQ(r->max_norm, 1.0);
  // A b0 volume is reset to 0 whatever its stored value; 30 * 0.5^2 = 7.5 rounds away from zero.
  const auto h = table({{1, 0, 0}, {2, 0, 0}, {1, 0, 0}}, {20, 30, 30}).recover_bvals(25.0);
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(h->table.bvals(), (std::vector<double>{0, 30, 8}));
}
