// The MRtrix gradient file: one "x y z b" row per volume, `#` comment lines.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "quorvex/error.hpp"
#include "quorvex/gradient.hpp"

namespace quorvex_core::io::mrtrix {

/// The first four numbers of a data line (anything after them is ignored unparsed). `Parse`
/// naming `path`: "invalid number: {}" or "expected 4 values per row, found {}".
[[nodiscard]] Result<std::array<double, 4>> parse_row(std::string_view line, std::string_view path);

/// Every data row of a grad file's text in order: lines are trimmed, and empty lines and lines
/// starting with `#` are skipped. Stops at the first bad row.
[[nodiscard]] Result<GradientTable> parse(std::string_view text, std::string_view path);

/// The file text: one "x y z b\n" line per volume, six decimals for x, y, z.
[[nodiscard]] std::string text(const GradientTable& table);

/// Creates or truncates `path` with `text(table)`. `Io` on failure.
[[nodiscard]] Result<void> write(const std::string& path, const GradientTable& table);

}  // namespace quorvex_core::io::mrtrix
