// The FSL gradient pair: a bval file of b-values and a bvec file of directions (3 x N or N x 3).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "quorvex/error.hpp"
#include "quorvex/gradient.hpp"

namespace quorvex_core::io::fsl {

/// Every White_Space-separated number of `text`, in order. `Parse` ("invalid number: {}")
/// naming `path` at the first bad token.
[[nodiscard]] Result<std::vector<double>> parse_floats(std::string_view text,
                                                       std::string_view path);

/// One row of numbers per non-blank line (CRLF read like LF). `Parse` as for `parse_floats`.
[[nodiscard]] Result<std::vector<std::vector<double>>> parse_rows(std::string_view text,
                                                                  std::string_view path);

/// `n` directions from rows laid out 3 x n (tried first) or n x 3. `Parse` ("bvec shape does not
/// match the b-value count") naming `path` otherwise.
[[nodiscard]] Result<std::vector<Vec3>> to_directions(const std::vector<std::vector<double>>& rows,
                                                      std::size_t n, std::string_view path);

/// Writes the bvec file (three lines, six decimals) and then the bval file (one line, shortest
/// form). `Io` on failure; a failed bvec write leaves the bval file untouched.
[[nodiscard]] Result<void> write(const std::string& bvec_path, const std::string& bval_path,
                                 const GradientTable& table);

/// The bvec and bval texts `write` puts in the files.
[[nodiscard]] std::string bvec_text(const GradientTable& table);
[[nodiscard]] std::string bval_text(const GradientTable& table);

}  // namespace quorvex_core::io::fsl
