#include "candidate.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace quorvex_core;

TEST(candidate_test, fixed_order_labels_and_matrices) {
  const auto all = all_candidates();
  ASSERT_EQ(all.size(), 48U);
  const char* first_eight[] = {"+x+y+z", "-x+y+z", "+x-y+z", "-x-y+z",
                               "+x+y-z", "-x+y-z", "+x-y-z", "-x-y-z"};
  for (std::size_t k = 0; k < 8; ++k)
    EXPECT_EQ(all[k].label, first_eight[k]);
  EXPECT_EQ(all[8].label, "+x+z+y");
  EXPECT_EQ(all[47].label, "-z-y-x");
  std::set<std::string> labels;
  int identities = 0;
  for (const Candidate& c : all) {
    labels.insert(c.label);
    identities += c.is_identity ? 1 : 0;
  }
  EXPECT_EQ(labels.size(), 48U);
  EXPECT_EQ(identities, 1);
  EXPECT_TRUE(all[0].is_identity);
  // (M g)_r = s_r * g[p_r]: "+y+x+z" swaps the first two components, "-x+y+z" mirrors x.
  const Vec3 g{1.0, 2.0, 3.0};
  for (const Candidate& c : all_candidates()) {
    const Vec3 out = apply(c.matrix, g);
    for (std::size_t r = 0; r < 3; ++r) {
      const double sign = c.label[2 * r] == '-' ? -1.0 : 1.0;
      const double source = g[static_cast<std::size_t>(c.label[2 * r + 1] - 'x')];
      EXPECT_EQ(out[r], sign * source) << c.label;
    }
  }
  // Each candidate's negation is the same permutation with the complementary sign code.
  for (std::size_t i = 0; i < 48; ++i) {
    const std::size_t antipode = 8 * (i / 8) + (7 - i % 8);
    for (std::size_t r = 0; r < 3; ++r) {
      for (std::size_t c = 0; c < 3; ++c) {
        EXPECT_EQ(all[i].matrix[r][c], -all[antipode].matrix[r][c] + 0.0);
      }
    }
  }
}
