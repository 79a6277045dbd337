#include "quorvex/pipeline.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "pipeline_detail.hpp"
#include "test_support.hpp"

using namespace quorvex_core;

TEST(pipeline_test, scheme_report_shell_counts_and_the_low_mask_fa_note) {
  EXPECT_EQ(pipeline::shell_counts({2000, 0, 1000, 1000}, 50, 0.05),
            (std::vector<std::pair<double, std::uint64_t>>{{0, 1}, {1000, 2}, {2000, 1}}));
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
  const auto notes = [](std::optional<double> fa) {
    Report report = Report::create({});
    if (fa) {
      report.flip = FlipResult{};
      report.flip->mask_mean_fa = *fa;
    }
    return pipeline::note_low_mask_fa(std::move(report)).notes;
  };
  const auto low = notes(0.25);
  ASSERT_EQ(low.size(), 1U);
  EXPECT_EQ(low[0],
            "coherence mask mean FA 0.25 is low (looks whole-brain) — flip-detection sensitivity "
            "is reduced; supply a WM mask (FA-thresholded) for a wider margin");
  for (const auto fa : {std::optional<double>{}, std::optional{0.0}, std::optional{0.3}}) {
    EXPECT_TRUE(notes(fa).empty());
  }
}
