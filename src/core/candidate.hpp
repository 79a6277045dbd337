// The 48 signed axis permutations a gradient table may need, with their labels.
#pragma once

#include <array>
#include <cstddef>
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

/// Number of antipodal classes: a fitted direction's sign carries no meaning, so a candidate and
/// its negation are one test.
inline constexpr std::size_t class_count = 24;

/// One antipodal class, as indices into `all_candidates()`: the member with sign code 0 to 3
/// (the one reported) and its negation (sign code 7 - k of the same permutation).
struct CandidateClass {
  std::size_t representative = 0;
  std::size_t antipode = 0;
};

/// The 24 classes in candidate order; class 0 holds the identity.
[[nodiscard]] std::array<CandidateClass, class_count> candidate_classes() noexcept;

}  // namespace quorvex_core
