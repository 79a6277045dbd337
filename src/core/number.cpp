// Number parsing and formatting shared by the table readers and writers and the JSON writer.
#include "quorvex/number.hpp"

#include <fmt/format.h>

#include <locale.h>
#include <array>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace quorvex_core {
namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool equals_ignoring_case(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// True when `body` (the token without its sign) is a decimal mantissa with optional exponent.
bool is_decimal(std::string_view body) {
  std::size_t i = 0;
  std::size_t mantissa_digits = 0;
  while (i < body.size() && is_digit(body[i]))
    ++i, ++mantissa_digits;
  if (i < body.size() && body[i] == '.') {
    ++i;
    while (i < body.size() && is_digit(body[i]))
      ++i, ++mantissa_digits;
  }
  if (mantissa_digits == 0) return false;
  if (i == body.size()) return true;
  if (body[i] != 'e' && body[i] != 'E') return false;
  ++i;
  if (i < body.size() && (body[i] == '+' || body[i] == '-')) ++i;
  const std::size_t exponent_start = i;
  while (i < body.size() && is_digit(body[i]))
    ++i;
  return i > exponent_start && i == body.size();
}

// Overflow and underflow must still round correctly (to infinity or to zero and the
// subnormals); from_chars reports them as out of range, so the C library finishes the job in
// the "C" locale, whatever locale the host process runs in.
double parse_out_of_range(std::string_view token) {
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", nullptr);
  const std::string copy(token);
  return strtod_l(copy.c_str(), nullptr, c_locale);
}

// The shortest round-trip digits of a finite, non-zero |value| and the decimal exponent of the
// leading digit.
struct Shortest {
  std::string digits;
  int exponent = 0;
};

Shortest shortest_digits(double magnitude) {
  std::array<char, 64> buf{};
  const auto [end, ec] =
      std::to_chars(buf.data(), buf.data() + buf.size(), magnitude, std::chars_format::scientific);
  const std::string_view text(buf.data(), static_cast<std::size_t>(end - buf.data()));
  const std::size_t e = text.find('e');
  Shortest out;
  for (char c : text.substr(0, e)) {
    if (c != '.') out.digits.push_back(c);
  }
  std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(),
                  out.exponent);
  return out;
}

// Positional layout of digits d1 d2 ... with the leading digit at decimal exponent k.
std::string positional(const Shortest& s, bool force_fraction) {
  std::string out;
  const int n = static_cast<int>(s.digits.size());
  if (s.exponent < 0) {
    out = "0.";
    out.append(static_cast<std::size_t>(-s.exponent - 1), '0');
    out += s.digits;
  } else if (s.exponent + 1 >= n) {
    out = s.digits;
    out.append(static_cast<std::size_t>(s.exponent + 1 - n), '0');
    if (force_fraction) out += ".0";
  } else {
    out = s.digits.substr(0, static_cast<std::size_t>(s.exponent) + 1);
    out += '.';
    out += s.digits.substr(static_cast<std::size_t>(s.exponent) + 1);
  }
  return out;
}

std::string non_finite(double value) {
  if (std::isnan(value)) return "NaN";
  return value > 0 ? "inf" : "-inf";
}

}  // namespace

std::optional<double> parse_number(std::string_view token) noexcept {
  std::string_view body = token;
  bool negative = false;
  if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  if (equals_ignoring_case(body, "inf") || equals_ignoring_case(body, "infinity")) {
    return negative ? -HUGE_VAL : HUGE_VAL;
  }
  if (equals_ignoring_case(body, "nan")) return negative ? -std::nan("") : std::nan("");
  if (!is_decimal(body)) return std::nullopt;
  double value = 0.0;
  const auto [end, ec] =
      std::from_chars(body.data(), body.data() + body.size(), value, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    value = parse_out_of_range(body);
  } else if (ec != std::errc{} || end != body.data() + body.size()) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

std::string format_fixed6(double value) {
  if (!std::isfinite(value)) return non_finite(value);
  if (value == 0.0) return "0.000000";  // also negative zero
  return fmt::format("{:.6f}", value);
}

std::string format_plain(double value) {
  if (!std::isfinite(value)) return non_finite(value);
  if (value == 0.0) return std::signbit(value) ? "-0" : "0";
  std::string out = value < 0 ? "-" : "";
  out += positional(shortest_digits(std::fabs(value)), false);
  return out;
}

std::string format_json_number(double value) {
  if (!std::isfinite(value)) return "null";
  if (value == 0.0) return std::signbit(value) ? "-0.0" : "0.0";
  const Shortest s = shortest_digits(std::fabs(value));
  std::string out = value < 0 ? "-" : "";
  if (s.exponent >= -5 && s.exponent <= 15) {
    out += positional(s, true);
    return out;
  }
  out += s.digits[0];
  if (s.digits.size() > 1) {
    out += '.';
    out.append(s.digits, 1);
  }
  out += 'e';
  out += s.exponent < 0 ? '-' : '+';
  out += std::to_string(std::abs(s.exponent));
  return out;
}

}  // namespace quorvex_core
