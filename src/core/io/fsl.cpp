// Reading and writing FSL bvec/bval text.
#include "quorvex/io/fsl.hpp"

#include "file.hpp"
#include "quorvex/number.hpp"
#include "quorvex/text.hpp"

namespace quorvex_core::io::fsl {

Result<std::vector<double>> parse_floats(std::string_view text, std::string_view path) {
  std::vector<double> values;
  std::string_view bad;
  const bool complete = for_each_token(text, [&](std::string_view token) {
    const auto value = parse_number(token);
    if (!value) {
      bad = token;
      return false;
    }
    values.push_back(*value);
    return true;
  });
  if (!complete) {
    return fail(Error::parse(display_text(path), "invalid number: " + clip_for_message(bad)));
  }
  return values;
}

Result<std::vector<std::vector<double>>> parse_rows(std::string_view text, std::string_view path) {
  std::vector<std::vector<double>> rows;
  std::optional<Error> error;
  for_each_line(text, [&](std::string_view line) {
    if (trim_whitespace(line).empty()) return true;
    auto row = parse_floats(line, path);
    if (!row) {
      error = std::move(row.error());
      return false;
    }
    rows.push_back(std::move(*row));
    return true;
  });
  if (error) return fail(std::move(*error));
  return rows;
}

Result<std::vector<Vec3>> to_directions(const std::vector<std::vector<double>>& rows, std::size_t n,
                                        std::string_view path) {
  std::vector<Vec3> directions;
  const auto all_of_length = [&](std::size_t length) {
    for (const auto& row : rows) {
      if (row.size() != length) return false;
    }
    return true;
  };
  if (rows.size() == 3 && all_of_length(n)) {
    directions.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
      directions.push_back({rows[0][i], rows[1][i], rows[2][i]});
    return directions;
  }
  if (rows.size() == n && all_of_length(3)) {
    directions.reserve(n);
    for (const auto& row : rows)
      directions.push_back({row[0], row[1], row[2]});
    return directions;
  }
  return fail(Error::parse(display_text(path), "bvec shape does not match the b-value count"));
}

std::string bvec_text(const GradientTable& table) {
  std::string out;
  // Nine to ten characters per component is typical; one allocation for the whole file.
  out.reserve(table.size() * 3 * 10 + 3);
  for (std::size_t axis = 0; axis < 3; ++axis) {
    bool first = true;
    for (const Vec3& d : table.directions()) {
      if (!first) out.push_back(' ');
      first = false;
      out += format_fixed6(d[axis]);
    }
    out.push_back('\n');
  }
  return out;
}

std::string bval_text(const GradientTable& table) {
  std::string out;
  out.reserve(table.size() * 6 + 1);
  bool first = true;
  for (const double b : table.bvals()) {
    if (!first) out.push_back(' ');
    first = false;
    out += format_plain(b);
  }
  out.push_back('\n');
  return out;
}

Result<void> write(const std::string& bvec_path, const std::string& bval_path,
                   const GradientTable& table) {
  if (auto written = write_file(bvec_path, bvec_text(table)); !written) return written;
  return write_file(bval_path, bval_text(table));
}

}  // namespace quorvex_core::io::fsl
