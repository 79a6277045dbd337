#include "quorvex/coherence.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <span>
#include <vector>

using namespace quorvex_core;

namespace {

constexpr GridShape cube{10, 10, 10};

std::vector<Vec3> uniform(const Vec3& v) {
  return std::vector<Vec3>(1000, v);
}

}  // namespace

TEST(coherence_test, exact_scores_of_small_fields) {
  // A uniform field loses only the probes leaving the grid.
  const Mask all(1000, true);
  const auto score = coherence_index(cube, uniform({1, 0, 0}), all, 1.0);
  EXPECT_EQ(score.n_samples, 1800U);
  EXPECT_DOUBLE_EQ(score.coherence, 0.9);
  // An empty mask and zero vectors add nothing.
  const auto none = coherence_index(cube, uniform({1, 0, 0}), Mask(1000, false), 1.0);
  EXPECT_EQ(none.coherence, 0.0);
  EXPECT_EQ(none.n_samples, 0U);
  const auto zeros = coherence_index(cube, uniform({0, 0, 0}), Mask(1000, true), 1.0);
  EXPECT_EQ(zeros.coherence, 0.0);
  EXPECT_EQ(zeros.n_samples, 0U);
  // One voxel at the centre points along x; its +x neighbour is perpendicular, its -x
  // neighbour parallel. A step of exactly 1 lands on the centres: scores 0 and 1.
  std::vector<Vec3> field(1000, Vec3{0, 0, 1});
  const auto at = [](std::size_t x, std::size_t y, std::size_t z) { return (x * 10 + y) * 10 + z; };
  field[at(5, 5, 5)] = {1, 0, 0};
  field[at(4, 5, 5)] = {-1, 0, 0};
  Mask mask(1000, false);
  mask[at(5, 5, 5)] = mask[at(6, 5, 5)] = mask[at(4, 5, 5)] = true;
  // The two neighbours also probe: (6,5,5) along z finds nothing masked; (4,5,5) along x finds
  // the centre voxel (score 1) and (3,5,5) unmasked.
  const auto centre = coherence_index(cube, field, mask, 1.0);
  EXPECT_EQ(centre.n_samples, 3U);
  EXPECT_DOUBLE_EQ(centre.coherence, 2.0 / 6.0);
}

TEST(coherence_test, negated_field_scores_bit_identically) {
  std::mt19937_64 rng(3);
  std::normal_distribution<double> normal;
  std::vector<Vec3> field(1000);
  std::vector<Vec3> negated(1000);
  Mask mask(1000);
  for (std::size_t i = 0; i < 1000; ++i) {
    Vec3 v{normal(rng), normal(rng), normal(rng)};
    const double n = norm(v);
    field[i] = {v[0] / n, v[1] / n, v[2] / n};
    negated[i] = {-field[i][0], -field[i][1], -field[i][2]};
    mask[i] = i % 7 != 0;
  }
  // Flip the sign of a random half only: the index must not care either.
  std::vector<Vec3> mixed = field;
  for (std::size_t i = 0; i < 1000; i += 2)
    mixed[i] = negated[i];
  const auto a = coherence_index(cube, field, mask, 1.7);
  const auto b = coherence_index(cube, negated, mask, 1.7);
  const auto c = coherence_index(cube, mixed, mask, 1.7);
  EXPECT_EQ(a.coherence, b.coherence);
  EXPECT_EQ(a.n_samples, b.n_samples);
  EXPECT_NEAR(a.coherence, c.coherence, 1e-12);
  EXPECT_GT(a.coherence, 0.0);
  EXPECT_LE(a.coherence, 1.0);
}

TEST(coherence_test, scheduling_does_not_change_the_result) {
  // Large enough for many chunks; repeated runs must agree to the bit.
  const GridShape big{40, 40, 40};
  std::vector<Vec3> field(64000);
  for (std::size_t i = 0; i < field.size(); ++i) {
    const double a = 0.001 * static_cast<double>(i);
    field[i] = {std::cos(a), std::sin(a), 0.1};
  }
  const Mask mask(field.size(), true);
  const auto first = coherence_index(big, field, mask, 1.3);
  for (int k = 0; k < 5; ++k) {
    const auto again = coherence_index(big, field, mask, 1.3);
    EXPECT_EQ(again.coherence, first.coherence);
    EXPECT_EQ(again.n_samples, first.n_samples);
  }
  // Sets scored side by side, one worker each, score as they do one at a time, whether they
  // have directions at the voxels the first set has (sets 1 and 4) or not (2 lacks some, 3 has
  // more).
  const auto set = [&](std::size_t j, std::span<Vec3> out) {
    for (std::size_t i = 0; i < out.size(); ++i) {
      const Vec3& f = field[i];
      const bool absent = (j != 3 && i % 5 == 0) || (j == 2 && i % 7 == 0);
      const double s = j == 4 ? 2.0 : 1.0;
      out[i] = absent   ? Vec3{0.0, 0.0, 0.0}
               : j == 1 ? Vec3{f[1], f[0], f[2]}
                        : Vec3{s * f[0], s * f[1], s * f[2]};
    }
  };
  CoherenceScorer scorer(big, mask);
  const auto together = scorer.score_masked_sets(5, set, 1.3);
  ASSERT_EQ(together.size(), 5U);
  std::vector<Vec3> directions(field.size());
  for (std::size_t j = 0; j < 5; ++j) {
    set(j, directions);
    const auto alone = CoherenceScorer(big, mask).score(directions, 1.3);
    EXPECT_EQ(together[j].coherence, alone.coherence) << "set " << j;
    EXPECT_EQ(together[j].n_samples, alone.n_samples) << "set " << j;
  }
}
