// Independent checks shared by the fuzz targets: the number grammar written out again from its
// definition, strtod as the rounding reference, and a loud stop on any disagreement.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace quorvex_fuzz {

/// Stops the run with `what` so that libFuzzer keeps the input as a crash.
[[noreturn]] inline void finding(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "fuzz finding: %s [%.*s]\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

inline void require(bool ok, const char* what, std::string_view detail = {}) {
  if (!ok) finding(what, detail);
}

/// Bit-identical, or both NaN (NaN payloads are not part of any contract here).
inline bool same_double(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

inline bool ascii_iequals(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const char folded = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
    if (folded != lower[i]) return false;
  }
  return true;
}

/// The table-file number grammar: [+-]? (digits [. digits?] | . digits) ([eE] [+-]? digits)?
/// or inf / infinity / nan in any case.
inline bool matches_number_grammar(std::string_view token) {
  std::string_view s = token;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) s.remove_prefix(1);
  if (ascii_iequals(s, "inf") || ascii_iequals(s, "infinity") || ascii_iequals(s, "nan")) {
    return true;
  }
  const auto digits = [&](std::size_t& i) {
    const std::size_t from = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9')
      ++i;
    return i - from;
  };
  std::size_t i = 0;
  std::size_t mantissa = digits(i);
  if (i < s.size() && s[i] == '.') {
    ++i;
    mantissa += digits(i);
  }
  if (mantissa == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (digits(i) == 0) return false;
  }
  return i == s.size();
}

/// What a correctly rounding reader gives for `token`, or nothing when it is not a number.
inline std::optional<double> reference_number(std::string_view token) {
  if (!matches_number_grammar(token)) return std::nullopt;
  const std::string copy(token);
  char* end = nullptr;
  const double value = std::strtod(copy.c_str(), &end);
  require(end == copy.c_str() + copy.size(), "strtod did not take a grammatical token", token);
  return value;
}

/// Valid UTF-8 in the strict sense (no overlongs, surrogates or values past U+10FFFF).
inline bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    std::uint32_t cp = 0;
    if (b < 0x80) {
      ++i;
      continue;
    }
    if (b >= 0xC2 && b <= 0xDF) {
      n = 1;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      n = 2;
      cp = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      n = 3;
      cp = b & 0x07;
    } else {
      return false;
    }
    if (i + n >= s.size()) return false;
    for (std::size_t k = 1; k <= n; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += n + 1;
  }
  return true;
}

}  // namespace quorvex_fuzz
