// Applying a sign/permutation transform to a table, and the output-path rules every writer
// follows: refuse an existing file, or move it to the next free numbered backup.
#pragma once

#include <optional>
#include <string>
#include <string_view>

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

/// The path's bytes, a dot, then `suffix`.
[[nodiscard]] std::string with_suffix(const std::string& path, std::string_view suffix);

/// `path.bak`, else the first free `path.bak.1`, `path.bak.2`, ... (a name whose status cannot be
/// read counts as free).
[[nodiscard]] std::string next_backup_path(const std::string& path);

/// Nothing when `path` is free. When it exists: `RefuseOverwrite` unless `in_place`, else an
/// existing regular file is renamed to `next_backup_path` and that backup path is returned (`Io`
/// when the rename fails, the file then staying where it was). Anything else that exists (a
/// device, a FIFO, a folder) is never moved: nothing is returned and the write goes to it.
[[nodiscard]] Result<std::optional<std::string>> prepare_output(const std::string& path,
                                                                bool in_place);

}  // namespace quorvex_core
