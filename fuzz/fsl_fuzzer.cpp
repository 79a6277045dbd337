// Fuzzes the FSL readers with arbitrary UTF-8 text: every token against the reference number
// reader, the row split against the flat token list, the bvec shape rules, and the writers'
// texts read back to the values they were made from.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "oracles.hpp"
#include "quorvex/io/fsl.hpp"
#include "quorvex/number.hpp"
#include "quorvex/text.hpp"

namespace {

namespace core = quorvex_core;
namespace fsl = quorvex_core::io::fsl;
using quorvex_fuzz::require;

constexpr std::string_view bval_path = "sub-01_dwi.bval";
constexpr std::string_view bvec_path = "sub-01_dwi.bvec";

// What parse_floats must return for `text`: the reference values, or the message naming the
// first token that is not a number.
struct Expected {
  std::vector<double> values;
  std::string error;
};

Expected expected_floats(std::string_view text) {
  Expected out;
  core::for_each_token(text, [&](std::string_view token) {
    const auto value = quorvex_fuzz::reference_number(token);
    if (!value) {
      out.error = "failed to parse " + std::string(bval_path) +
                  ": invalid number: " + core::clip_for_message(token);
      return false;
    }
    out.values.push_back(*value);
    return true;
  });
  return out;
}

void check_shape_rules(const std::vector<std::vector<double>>& rows, std::size_t n) {
  auto directions = fsl::to_directions(rows, n, bvec_path);
  bool axis_rows = rows.size() == 3;
  for (const auto& row : rows)
    axis_rows = axis_rows && row.size() == n;
  bool volume_rows = !axis_rows && rows.size() == n;
  for (const auto& row : rows)
    volume_rows = volume_rows && row.size() == 3;
  if (!axis_rows && !volume_rows) {
    require(!directions.has_value(), "to_directions accepted a shape it must refuse");
    require(directions.error().display() == "failed to parse " + std::string(bvec_path) +
                                                ": bvec shape does not match the b-value count",
            "to_directions shape message");
    return;
  }
  require(directions.has_value(), "to_directions refused a valid shape");
  require(directions->size() == n, "to_directions count");
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t c = 0; c < 3; ++c) {
      const double want = axis_rows ? rows[c][i] : rows[i][c];
      require(quorvex_fuzz::same_double((*directions)[i][c], want), "to_directions layout");
    }
  }
}

std::string reference_fixed6(double value) {
  if (value == 0.0) return "0.000000";
  std::vector<char> buf(400);
  const int n = std::snprintf(buf.data(), buf.size(), "%.6f", value);
  return {buf.data(), static_cast<std::size_t>(n)};
}

void check_writers(const std::vector<core::Vec3>& directions, const std::vector<double>& bvals) {
  auto table = core::GradientTable::create(directions, bvals);
  require(table.has_value(), "GradientTable::create with equal lengths");
  auto read_bvals = fsl::parse_floats(fsl::bval_text(*table), bval_path);
  require(read_bvals.has_value(), "bval text does not read back");
  require(read_bvals->size() == bvals.size(), "bval count after a round trip");
  for (std::size_t i = 0; i < bvals.size(); ++i) {
    const double a = (*read_bvals)[i];
    const double b = bvals[i];
    if (!quorvex_fuzz::same_double(a, b) && !(a == 0.0 && b == 0.0)) {
      quorvex_fuzz::finding("bval round trip", core::format_plain(b));
    }
  }
  auto rows = fsl::parse_rows(fsl::bvec_text(*table), bvec_path);
  require(rows.has_value(), "bvec text does not read back");
  auto read_directions = fsl::to_directions(*rows, directions.size(), bvec_path);
  require(read_directions.has_value(), "written bvec has the wrong shape");
  for (std::size_t i = 0; i < directions.size(); ++i) {
    for (std::size_t c = 0; c < 3; ++c) {
      const double x = directions[i][c];
      const std::string text = core::format_fixed6(x);
      if (std::isfinite(x)) require(text == reference_fixed6(x), "six-decimal form", text);
      const double want = *core::parse_number(text);
      require(quorvex_fuzz::same_double((*read_directions)[i][c], want), "bvec round trip", text);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // The file reader refuses anything else before a parser sees it.
  if (!quorvex_fuzz::valid_utf8(text)) return 0;

  const Expected expected = expected_floats(text);
  auto floats = fsl::parse_floats(text, bval_path);
  auto rows = fsl::parse_rows(text, bvec_path);
  if (!expected.error.empty()) {
    require(!floats.has_value(), "parse_floats accepted a bad token");
    require(floats.error().display() == expected.error, "parse_floats message",
            floats.error().display());
    require(!rows.has_value(), "parse_rows accepted a bad token");
    return 0;
  }
  require(floats.has_value(), "parse_floats refused valid text");
  require(floats->size() == expected.values.size(), "parse_floats count");
  for (std::size_t i = 0; i < floats->size(); ++i) {
    if (!quorvex_fuzz::same_double((*floats)[i], expected.values[i])) {
      quorvex_fuzz::finding("parse_floats value", core::format_plain(expected.values[i]));
    }
  }
  require(rows.has_value(), "parse_rows refused text parse_floats accepts");
  std::size_t flat = 0;
  for (const auto& row : *rows) {
    require(!row.empty(), "parse_rows kept a blank line");
    for (double value : row) {
      require(flat < floats->size() && quorvex_fuzz::same_double(value, (*floats)[flat]),
              "rows disagree with the flat token list");
      ++flat;
    }
  }
  require(flat == floats->size(), "rows lost tokens");

  // The shape rules for the counts that can match, and one that usually cannot.
  check_shape_rules(*rows, floats->size());
  check_shape_rules(*rows, rows->size());
  if (!rows->empty()) check_shape_rules(*rows, rows->front().size());

  // Round trip through the writers, with the directions taken from the tokens three by three.
  std::vector<core::Vec3> directions;
  std::vector<double> bvals;
  for (std::size_t i = 0; i + 3 < floats->size(); i += 4) {
    directions.push_back({(*floats)[i], (*floats)[i + 1], (*floats)[i + 2]});
    bvals.push_back((*floats)[i + 3]);
  }
  check_writers(directions, bvals);
  return 0;
}
