// Fuzzes the MRtrix reader with arbitrary UTF-8 text: each data line against a row reader built
// from the reference number reader, and the file text written back.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "oracles.hpp"
#include "quorvex/io/mrtrix.hpp"
#include "quorvex/number.hpp"
#include "quorvex/text.hpp"

namespace {

namespace core = quorvex_core;
namespace mrtrix = quorvex_core::io::mrtrix;
using quorvex_fuzz::require;

constexpr std::string_view path = "dwi.b";

// The row rule: the first four tokens must be numbers; anything after them is never parsed.
std::string expected_row(std::string_view line, std::array<double, 4>& values) {
  std::size_t found = 0;
  std::string error;
  core::for_each_token(line, [&](std::string_view token) {
    const auto value = quorvex_fuzz::reference_number(token);
    if (!value) {
      error = "invalid number: " + core::clip_for_message(token);
      return false;
    }
    values[found++] = *value;
    return found < 4;
  });
  if (error.empty() && found < 4)
    error = "expected 4 values per row, found " + std::to_string(found);
  return error.empty() ? error : "failed to parse " + std::string(path) + ": " + error;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!quorvex_fuzz::valid_utf8(text)) return 0;

  std::vector<std::array<double, 4>> rows;
  std::string error;
  core::for_each_line(text, [&](std::string_view line) {
    const std::string_view trimmed = core::trim_whitespace(line);
    if (trimmed.empty() || trimmed.front() == '#') return true;
    std::array<double, 4> values{};
    error = expected_row(trimmed, values);
    auto row = mrtrix::parse_row(trimmed, path);
    if (!error.empty()) {
      require(!row.has_value(), "parse_row accepted a bad row");
      require(row.error().display() == error, "parse_row message", row.error().display());
      return false;
    }
    require(row.has_value(), "parse_row refused a good row");
    for (std::size_t k = 0; k < 4; ++k)
      require(quorvex_fuzz::same_double((*row)[k], values[k]), "parse_row value");
    rows.push_back(values);
    return true;
  });

  auto table = mrtrix::parse(text, path);
  if (!error.empty()) {
    require(!table.has_value(), "parse accepted a file with a bad row");
    require(table.error().display() == error, "parse message", table.error().display());
    return 0;
  }
  require(table.has_value(), "parse refused a good file");
  require(table->size() == rows.size(), "parse row count");
  for (std::size_t i = 0; i < rows.size(); ++i) {
    for (std::size_t k = 0; k < 3; ++k)
      require(quorvex_fuzz::same_double(table->directions()[i][k], rows[i][k]), "direction");
    require(quorvex_fuzz::same_double(table->bvals()[i], rows[i][3]), "b-value");
  }

  // Written back: b-values exactly, directions as their six-decimal text reads.
  auto again = mrtrix::parse(mrtrix::text(*table), path);
  require(again.has_value(), "written grad text does not read back");
  require(again->size() == table->size(), "grad round trip count");
  for (std::size_t i = 0; i < table->size(); ++i) {
    const double a = again->bvals()[i];
    const double b = table->bvals()[i];
    if (!quorvex_fuzz::same_double(a, b) && !(a == 0.0 && b == 0.0)) {
      quorvex_fuzz::finding("grad b-value round trip", core::format_plain(b));
    }
    for (std::size_t k = 0; k < 3; ++k) {
      const double want = *core::parse_number(core::format_fixed6(table->directions()[i][k]));
      require(quorvex_fuzz::same_double(again->directions()[i][k], want), "grad direction");
    }
  }
  return 0;
}
