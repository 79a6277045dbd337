// Building the candidate set in its fixed order.
#include "quorvex/candidate.hpp"

#include <array>

namespace quorvex_core {

std::vector<Candidate> all_candidates() {
  static constexpr std::array<std::array<int, 3>, 6> permutations{{
      {0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}}};
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

Mat3 multiply(const Mat3& a, const Mat3& b) noexcept {
  Mat3 out{};
  for (std::size_t r = 0; r < 3; ++r) {
    for (std::size_t c = 0; c < 3; ++c) {
      out[r][c] = a[r][0] * b[0][c] + a[r][1] * b[1][c] + a[r][2] * b[2][c];
    }
  }
  return out;
}

Vec3 apply(const Mat3& m, const Vec3& v) noexcept {
  return {m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2],
          m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
          m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2]};
}

}  // namespace quorvex_core
