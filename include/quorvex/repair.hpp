// Applying a sign/permutation transform to a table, and the output-path rules every writer
// follows before writing: refuse an existing file or a link, or allow its replacement.
#pragma once

#include <optional>
#include <string>

#include "quorvex/error.hpp"
#include "quorvex/flip.hpp"
#include "quorvex/gradient.hpp"

namespace quorvex_core {

/// A corrected table with the transform that made it.
struct Repair {
  GradientTable table;
  std::string label;
  Mat3 matrix{};

  /// The best candidate applied, unless it is the identity or exactly -I (which leaves every
  /// diffusion direction's axis unchanged).
  [[nodiscard]] static std::optional<Repair> force_from_best(const GradientTable& table,
                                                             const FlipResult& flip);
};

/// Every direction multiplied by `m` (b0 rows and zero vectors included); zero components are
/// stored as +0.0. b-values unchanged.
[[nodiscard]] GradientTable apply_transform(const GradientTable& table, const Mat3& m);

/// The check made for every table output before anything is written: nothing when `path` is
/// free or `in_place` allows replacing what is there (a regular file is then kept as its
/// numbered backup, a device or FIFO written through). `RefuseOverwrite` when it exists and
/// `in_place` is not set; `Io` when it is a symbolic link, dangling or not, whatever `in_place`.
[[nodiscard]] Result<void> check_output(const std::string& path, bool in_place);

}  // namespace quorvex_core
