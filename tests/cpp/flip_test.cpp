#include "quorvex/flip.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "candidate.hpp"
#include "test_support.hpp"

using namespace quorvex_core;

namespace {

// A ranking of all 48 candidates with the given coherence per label (others 0.1), sorted like
// the detector sorts.
std::vector<CandidateScore> ranking_with(std::vector<std::pair<std::string, double>> scores) {
  std::vector<CandidateScore> out;
  for (const Candidate& c : all_candidates()) {
    double value = 0.1;
    for (const auto& [label, coherence] : scores) {
      if (label == c.label) value = coherence;
    }
    out.push_back({c.label, c.matrix, c.is_identity, value, 10});
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const auto& a, const auto& b) { return a.coherence > b.coherence; });
  return out;
}

}  // namespace

TEST(flip_test, margin_decides_and_the_identity_or_its_antipode_always_passes) {
  const auto warn = assemble_result(
      5, ranking_with({{"-x+y+z", 0.60}, {"+x-y-z", 0.60}, {"+x+y+z", 0.59}}), 1000, 0.5, 0.02);
  EXPECT_EQ(warn.decision, Status::Warn);
  EXPECT_EQ(warn.best.label, "-x+y+z");
  EXPECT_EQ(warn.runner_up.label, "+x+y+z");  // the best's antipode is skipped
  EXPECT_NEAR(warn.relative_margin, 0.01 / 0.60, 1e-12);
  EXPECT_FALSE(warn.recommended_transform.has_value());
  EXPECT_EQ(warn.identity_coherence, 0.59);

  const auto flag = assemble_result(
      5, ranking_with({{"-x+y+z", 0.60}, {"+x-y-z", 0.60}, {"+x+y+z", 0.58}}), 1000, 0.5, 0.02);
  EXPECT_EQ(flag.decision, Status::Flag);
  EXPECT_EQ(flag.recommended_label, "-x+y+z");
  EXPECT_EQ(*flag.recommended_transform, flag.best.matrix);
  EXPECT_EQ(flag.ranking.size(), 48U);
  const auto pass = assemble_result(1, ranking_with({{"-x-y-z", 0.9}}), 1000, 0.5, 0.02);
  EXPECT_EQ(pass.best.label, "-x-y-z");
  EXPECT_EQ(pass.decision, Status::Pass);
  EXPECT_FALSE(pass.recommended_label.has_value());
  // All-zero scores keep the identity first.
  std::vector<std::pair<std::string, double>> zeros;
  for (const Candidate& c : all_candidates())
    zeros.emplace_back(c.label, 0.0);
  const auto r = assemble_result(1, ranking_with(zeros), 1000, 0.0, 0.02);
  EXPECT_EQ(r.best.label, "+x+y+z");
  EXPECT_EQ(r.decision, Status::Pass);
  EXPECT_EQ(r.margin, 0.0);
  EXPECT_EQ(r.relative_margin, 0.0);
}

TEST(flip_test, antipodal_or_equal_is_exact) {
  const auto all = all_candidates();
  EXPECT_TRUE(antipodal_or_equal(all[0].matrix, all[7].matrix));
  EXPECT_TRUE(antipodal_or_equal(all[9].matrix, all[9].matrix));
  EXPECT_FALSE(antipodal_or_equal(all[0].matrix, all[1].matrix));
  Mat3 nearly = identity_matrix;
  nearly[0][0] = 1.0 + 1e-15;
  EXPECT_FALSE(antipodal_or_equal(nearly, identity_matrix));
}

TEST(flip_test, masks_without_evidence_and_tables_without_a_shell_are_errors) {
  std::vector<Vec3> dirs{{0, 0, 0}};
  std::vector<double> bvals{0};
  for (int k = 0; k < 6; ++k) {
    dirs.push_back({k % 3 == 0 ? 1.0 : 0.5, k % 3 == 1 ? 1.0 : 0.3, k % 3 == 2 ? 1.0 : -0.2});
    bvals.push_back(1000);
  }
  const auto table = *GradientTable::create(dirs, bvals);
  const std::size_t shape[] = {2, 2, 2, 7};
  const auto image = ImageArray::from_samples(shape, std::vector<float>(56, 100.0F));
  const Mask empty(8, false);
  EXPECT_ERROR(detect_flip(*image, table, &empty, FlipOptions{}), DtiFit,
               "DTI fit failed: no WM voxels above the FA threshold");
  // A user mask is taken as given; where none of its voxels is fitted (no signal here, as when
  // a design cannot be fitted) every candidate used to score 0 and the verdict PASS.
  const auto silent = ImageArray::from_samples(shape, std::vector<float>(56, 0.0F));
  const Mask all(8, true);
  EXPECT_ERROR(detect_flip(*silent, table, &all, FlipOptions{}), DtiFit,
               "DTI fit failed: no coherence samples: no voxel of the mask has a fitted direction");
  const auto b0_only = *GradientTable::create(std::vector<Vec3>(7), std::vector<double>(7, 0.0));
  EXPECT_ERROR(detect_flip(*image, b0_only, nullptr, FlipOptions{}), NoUsableShell,
               "no usable non-b0 shell for flip detection");
}
