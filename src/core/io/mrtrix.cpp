// Reading and writing MRtrix gradient text.
#include "quorvex/io/mrtrix.hpp"

#include <fmt/format.h>

#include <optional>

#include "file.hpp"
#include "quorvex/number.hpp"
#include "quorvex/text.hpp"

namespace quorvex_core::io::mrtrix {

Result<std::array<double, 4>> parse_row(std::string_view line, std::string_view path) {
  std::array<double, 4> values{};
  std::size_t found = 0;
  std::optional<std::string_view> bad;
  for_each_token(line, [&](std::string_view token) {
    const auto value = parse_number(token);
    if (!value) {
      bad = token;
      return false;
    }
    values[found++] = *value;
    return found < values.size();
  });
  if (bad)
    return fail(Error::parse(display_text(path), "invalid number: " + clip_for_message(*bad)));
  if (found < values.size()) {
    return fail(Error::parse(display_text(path),
                             fmt::format("expected 4 values per row, found {}", found)));
  }
  return values;
}

Result<GradientTable> parse(std::string_view text, std::string_view path) {
  std::vector<Vec3> directions;
  std::vector<double> bvals;
  std::optional<Error> error;
  for_each_line(text, [&](std::string_view line) {
    const std::string_view trimmed = trim_whitespace(line);
    if (trimmed.empty() || trimmed.front() == '#') return true;
    auto row = parse_row(trimmed, path);
    if (!row) {
      error = std::move(row.error());
      return false;
    }
    directions.push_back({(*row)[0], (*row)[1], (*row)[2]});
    bvals.push_back((*row)[3]);
    return true;
  });
  if (error) return fail(std::move(*error));
  return GradientTable::create(std::move(directions), std::move(bvals));
}

std::string text(const GradientTable& table) {
  std::string out;
  out.reserve(table.size() * 36);
  for (std::size_t i = 0; i < table.size(); ++i) {
    const Vec3& d = table.directions()[i];
    out += format_fixed6(d[0]);
    out.push_back(' ');
    out += format_fixed6(d[1]);
    out.push_back(' ');
    out += format_fixed6(d[2]);
    out.push_back(' ');
    out += format_plain(table.bvals()[i]);
    out.push_back('\n');
  }
  return out;
}

Result<void> write(const std::string& path, const GradientTable& table) {
  return io::write_file(path, text(table));
}

}  // namespace quorvex_core::io::mrtrix
