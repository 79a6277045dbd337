#include "quorvex/number.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>

using quorvex_core::format_fixed6;
using quorvex_core::format_json_number;
using quorvex_core::format_plain;
using quorvex_core::parse_number;

namespace {

double c_strtod(const std::string& text) {
  return std::strtod(text.c_str(), nullptr);
}

std::string c_fixed6(double value) {
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.6f", value);
  return buf;
}

void expect_strtod(const std::string& token) {
  const auto value = parse_number(token);
  ASSERT_TRUE(value.has_value()) << token;
  const double expected = c_strtod(token[0] == '+' ? token.substr(1) : token);
  ASSERT_EQ(std::memcmp(&*value, &expected, sizeof expected), 0) << token;
}

}  // namespace

TEST(number_test, parsing_follows_the_decimal_grammar) {
  std::istringstream accepted(
      "0 -0 +1 1. .5 -.5e-3 1e5 1E+05 3.25 1e400 -1e400 1e-400 4.9e-324 00012 0.1 "
      "2.2250738585072011e-308 123456789012345678901234567890 inf INF +Infinity infinity -inf");
  for (std::string token; accepted >> token;)
    expect_strtod(token);
  for (const char* token : {"nan", "NaN", "-NAN", "+nan"}) {
    const auto value = parse_number(token);
    ASSERT_TRUE(value.has_value()) << token;
    EXPECT_TRUE(std::isnan(*value)) << token;
  }
  std::istringstream refused(
      "+ - . e5 1e 1e+ 1.2.3 0x1p3 0x10 1,0,0 1; abc nan(1) infin ++1 1d5 1_000 inf5 --1 #1 １");
  for (std::string token; refused >> token;)
    EXPECT_FALSE(parse_number(token).has_value()) << token;
  for (const std::string token : {"", "1 ",
                                  "\xC2\xA0"
                                  "1"}) {
    EXPECT_FALSE(parse_number(token).has_value()) << token;
  }
  std::mt19937_64 rng(20261206);
  std::uniform_int_distribution<int> digit(0, 9);
  std::uniform_int_distribution<int> length(1, 25);
  std::uniform_int_distribution<int> exponent(-330, 310);
  for (int i = 0; i < 20000; ++i) {
    std::string token;
    const int n = length(rng);
    for (int k = 0; k < n; ++k)
      token.push_back(static_cast<char>('0' + digit(rng)));
    token.insert(static_cast<std::size_t>(n / 2), ".");
    expect_strtod(token + "e" + std::to_string(exponent(rng)));
  }
}

TEST(number_test, fixed6_matches_the_c_library_rounding_ties_to_even) {
  for (const double value : {0.0078125, 0.0234375, -1e-9, 1.0}) {
    EXPECT_EQ(format_fixed6(value), c_fixed6(value)) << value;
  }
  EXPECT_EQ(format_fixed6(0.0078125), "0.007812");
  EXPECT_EQ(format_fixed6(-0.0), "0.000000");
  EXPECT_EQ(format_fixed6(std::nan("")), "NaN");
  EXPECT_EQ(format_fixed6(-HUGE_VAL), "-inf");
  EXPECT_EQ(format_fixed6(HUGE_VAL), "inf");
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_int_distribution<int> scale(-8, 12);
  for (int i = 0; i < 20000; ++i) {
    const double value = std::ldexp(unit(rng), scale(rng));
    if (value == 0.0) continue;
    ASSERT_EQ(format_fixed6(value), c_fixed6(value)) << value;
  }
  // Multiples of 2^-7 are exact binary ties at the sixth decimal.
  for (int k = 0; k < 2000; ++k) {
    ASSERT_EQ(format_fixed6(k / 128.0), c_fixed6(k / 128.0)) << k;
  }
}

TEST(number_test, plain_and_json_forms) {
  const struct {
    double value;
    const char* plain;
    const char* json;
  } cases[] = {
      {1000.0, "1000", "1000.0"},
      {0.0, "0", "0.0"},
      {-0.0, nullptr, "-0.0"},
      {995.5, "995.5", nullptr},
      {1e-7, "0.0000001", "1e-7"},
      {1e-6, nullptr, "1e-6"},
      {1e-5, nullptr, "0.00001"},
      {1e21, "1000000000000000000000", nullptr},
      {-2.5, "-2.5", "-2.5"},
      {0.1, "0.1", nullptr},
      {0.05, nullptr, "0.05"},
      {50.0, nullptr, "50.0"},
      {123.456, "123.456", "123.456"},
      {1e15, nullptr, "1000000000000000.0"},
      {9.999e15, nullptr, "9999000000000000.0"},
      {1e16, nullptr, "1e+16"},
      {1.5e16, nullptr, "1.5e+16"},
      {1.2345e-5, nullptr, "0.000012345"},
      {5e-324, nullptr, "5e-324"},
      {1.7976931348623157e308, nullptr, "1.7976931348623157e+308"},
      {std::nan(""), "NaN", "null"},
      {HUGE_VAL, nullptr, "null"},
      {-HUGE_VAL, nullptr, "null"},
  };
  for (const auto& c : cases) {
    if (c.plain != nullptr) {
      EXPECT_EQ(format_plain(c.value), c.plain) << c.value;
    }
    if (c.json != nullptr) {
      EXPECT_EQ(format_json_number(c.value), c.json) << c.value;
    }
  }
  // The plain form is the shortest that reads back, never with an exponent.
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> value(0.0, 1e4);
  for (int i = 0; i < 5000; ++i) {
    const double b = value(rng);
    const std::string text = format_plain(b);
    ASSERT_EQ(text.find('e'), std::string::npos);
    ASSERT_EQ(c_strtod(text), b) << text;
  }
}
