#include "quorvex/number.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
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

}  // namespace

TEST(number_test, accepts_the_decimal_grammar) {
  const char* tokens[] = {"0",
                          "-0",
                          "+1",
                          "1.",
                          ".5",
                          "-.5e-3",
                          "1e5",
                          "1E+05",
                          "3.25",
                          "1e400",
                          "-1e400",
                          "1e-400",
                          "4.9e-324",
                          "00012",
                          "0.1",
                          "2.2250738585072011e-308",
                          "123456789012345678901234567890"};
  for (const char* token : tokens) {
    const auto value = parse_number(token);
    ASSERT_TRUE(value.has_value()) << token;
    const std::string plain = token[0] == '+' ? std::string(token + 1) : std::string(token);
    const double expected = c_strtod(plain);
    EXPECT_EQ(std::memcmp(&*value, &expected, sizeof expected), 0) << token;
  }
}

TEST(number_test, accepts_special_words_in_any_case) {
  for (const char* token : {"inf", "INF", "+Infinity", "infinity"}) {
    EXPECT_EQ(parse_number(token), std::numeric_limits<double>::infinity()) << token;
  }
  EXPECT_EQ(parse_number("-inf"), -std::numeric_limits<double>::infinity());
  for (const char* token : {"nan", "NaN", "-NAN", "+nan"}) {
    const auto value = parse_number(token);
    ASSERT_TRUE(value.has_value()) << token;
    EXPECT_TRUE(std::isnan(*value)) << token;
  }
}

TEST(number_test, rejects_what_the_grammar_excludes) {
  const char* tokens[] = {"",
                          "+",
                          "-",
                          ".",
                          "e5",
                          "1e",
                          "1e+",
                          "1.2.3",
                          "0x1p3",
                          "0x10",
                          "1,0,0",
                          "1;",
                          "abc",
                          "nan(1)",
                          "infin",
                          "++1",
                          "1 ",
                          "\xC2\xA0"
                          "1",
                          "1d5",
                          "1_000",
                          "inf5",
                          "--1",
                          "#1",
                          "１"};
  for (const char* token : tokens)
    EXPECT_FALSE(parse_number(token).has_value()) << token;
}

TEST(number_test, parsing_matches_strtod_on_random_tokens) {
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
    token += "e" + std::to_string(exponent(rng));
    const auto value = parse_number(token);
    ASSERT_TRUE(value.has_value()) << token;
    const double expected = c_strtod(token);
    ASSERT_EQ(std::memcmp(&*value, &expected, sizeof expected), 0) << token;
  }
}

TEST(number_test, fixed6_rounds_ties_to_even_on_the_binary_value) {
  EXPECT_EQ(format_fixed6(0.0078125), "0.007812");
  EXPECT_EQ(format_fixed6(0.0234375), "0.023438");
  EXPECT_EQ(format_fixed6(-0.0), "0.000000");
  EXPECT_EQ(format_fixed6(-1e-9), "-0.000000");
  EXPECT_EQ(format_fixed6(1.0), "1.000000");
  EXPECT_EQ(format_fixed6(std::nan("")), "NaN");
  EXPECT_EQ(format_fixed6(-HUGE_VAL), "-inf");
  EXPECT_EQ(format_fixed6(HUGE_VAL), "inf");
}

TEST(number_test, fixed6_matches_the_c_library_on_random_values) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_int_distribution<int> scale(-8, 12);
  for (int i = 0; i < 20000; ++i) {
    const double value = std::ldexp(unit(rng), scale(rng));
    if (value == 0.0) continue;
    ASSERT_EQ(format_fixed6(value), c_fixed6(value)) << value;
  }
  // Exact binary ties at the sixth decimal: k/2^7 * 1e-6 style values are not representable,
  // but multiples of 2^-7 with five decimals are; the C library rounds those to even.
  for (int k = 0; k < 2000; ++k) {
    const double value = k / 128.0;
    ASSERT_EQ(format_fixed6(value), c_fixed6(value)) << value;
  }
}

TEST(number_test, plain_form_is_shortest_round_trip_without_exponent) {
  EXPECT_EQ(format_plain(1000.0), "1000");
  EXPECT_EQ(format_plain(0.0), "0");
  EXPECT_EQ(format_plain(995.5), "995.5");
  EXPECT_EQ(format_plain(1e-7), "0.0000001");
  EXPECT_EQ(format_plain(1e21), "1000000000000000000000");
  EXPECT_EQ(format_plain(-2.5), "-2.5");
  EXPECT_EQ(format_plain(0.1), "0.1");
  EXPECT_EQ(format_plain(123.456), "123.456");
  EXPECT_EQ(format_plain(std::nan("")), "NaN");
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> value(0.0, 1e4);
  for (int i = 0; i < 5000; ++i) {
    const double b = value(rng);
    const std::string text = format_plain(b);
    ASSERT_EQ(text.find('e'), std::string::npos);
    ASSERT_EQ(c_strtod(text), b) << text;
  }
}

TEST(number_test, json_number_forms) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {1000.0, "1000.0"},
      {1e16, "1e+16"},
      {1.5e16, "1.5e+16"},
      {123.456, "123.456"},
      {1e-5, "0.00001"},
      {1e-7, "1e-7"},
      {1e-6, "1e-6"},
      {0.05, "0.05"},
      {50.0, "50.0"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {-2.5, "-2.5"},
      {1e15, "1000000000000000.0"},
      {1.2345e-5, "0.000012345"},
      {9.999e15, "9999000000000000.0"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {std::nan(""), "null"},
      {HUGE_VAL, "null"},
      {-HUGE_VAL, "null"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(format_json_number(c.value), c.text) << c.value;
}
