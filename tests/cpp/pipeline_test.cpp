#include "quorvex/pipeline.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "test_support.hpp"

using namespace quorvex_core;

TEST(pipeline_test, pick_shell_nearest_with_ties_to_the_earlier) {
  const std::vector<double> b{0, 1000, 1000, 3000, 3000};
  EXPECT_EQ(pipeline::pick_shell(b, 50, 0.05, 2000)->nominal_b, 1000.0);
  EXPECT_EQ(pipeline::pick_shell({700, 1000}, 50, 0.05, 0)->nominal_b, 700.0);
  EXPECT_EQ(pipeline::pick_shell({700, 1000, 2000}, 50, 0.05, 1e9)->nominal_b, 2000.0);
  EXPECT_ERROR(pipeline::pick_shell({0, 10, 50}, 50, 0.05, 1000), NoUsableShell,
               "no usable non-b0 shell for flip detection");
}

TEST(pipeline_test, shell_counts_in_detection_order) {
  EXPECT_EQ(pipeline::shell_counts({2000, 0, 1000, 1000}, 50, 0.05),
            (std::vector<std::pair<double, std::uint64_t>>{{0, 1}, {1000, 2}, {2000, 1}}));
}

TEST(pipeline_test, scheme_report_has_every_scheme_section) {
  const auto table =
      *GradientTable::create({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {0, 999.5, 1000.0004});
  const Report r = pipeline::scheme_report(table, {}, {});
  EXPECT_EQ(r.status, Status::Pass);
  ASSERT_TRUE(r.shells && r.angular && r.norm_stats);
  EXPECT_EQ(r.shells->non_integer_bvals, (std::vector<std::uint64_t>{1}));
  EXPECT_FALSE(r.b0_drift || r.flip || r.repair);
  EXPECT_TRUE(r.notes.empty());
  EXPECT_EQ(r.scheme.bvals, table.bvals());
  const Report empty = pipeline::scheme_report(*GradientTable::create({}, {}), {}, {});
  EXPECT_TRUE(empty.shells->shells.empty());
  EXPECT_EQ(empty.norm_stats->non_b0_count, 0U);
}
