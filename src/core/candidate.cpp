// Building the candidate set in its fixed order.
#include "candidate.hpp"

#include <array>

namespace quorvex_core {

std::vector<Candidate> all_candidates() {
  static constexpr std::array<std::array<int, 3>, 6> permutations{
      {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}}};
  static constexpr std::array<char, 3> letters{'x', 'y', 'z'};
  std::vector<Candidate> out;
  out.reserve(48);
  for (const auto& p : permutations) {
    for (unsigned k = 0; k < 8; ++k) {
      Candidate c;
      for (std::size_t r = 0; r < 3; ++r) {
        const bool negative = ((k >> r) & 1U) != 0;
        c.matrix[r][static_cast<std::size_t>(p[r])] = negative ? -1.0 : 1.0;
        c.label.push_back(negative ? '-' : '+');
        c.label.push_back(letters[static_cast<std::size_t>(p[r])]);
      }
      c.is_identity = c.matrix == identity_matrix;
      out.push_back(std::move(c));
    }
  }
  return out;
}

std::array<CandidateClass, class_count> candidate_classes() noexcept {
  std::array<CandidateClass, class_count> classes{};
  for (std::size_t c = 0; c < class_count; ++c) {
    const std::size_t permutation = c / 4;
    const std::size_t code = c % 4;
    classes[c] = {8 * permutation + code, 8 * permutation + 7 - code};
  }
  return classes;
}

}  // namespace quorvex_core
