// The 48 signed axis permutations a gradient table may need, with their labels.
#pragma once

#include <string>
#include <vector>

#include "quorvex/gradient.hpp"

namespace quorvex_core {

/// One signed axis permutation: output component r is s_r * g[p_r].
struct Candidate {
  /// Sign and input-axis letter per output axis, e.g. "+y+x+z" or "-x+y+z".
  std::string label;
  Mat3 matrix{};
  bool is_identity = false;
};

/// All 48 candidates: the six axis permutations (xyz, xzy, yxz, yzx, zxy, zyx), each with the
/// eight sign codes (bit r set negates output axis r). The identity comes first; a candidate's
/// negation is the same permutation with sign code 7 - k.
[[nodiscard]] std::vector<Candidate> all_candidates();

}  // namespace quorvex_core
