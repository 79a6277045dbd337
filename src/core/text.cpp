// UTF-8 validation and repair, and the Unicode White_Space set used by every text reader.
#include "quorvex/text.hpp"

#include <cstdint>
#include <cstring>

namespace quorvex_core {
namespace {

constexpr std::string_view replacement_character = "\xEF\xBF\xBD";
constexpr std::size_t max_token_in_message = 200;

// Length of the well-formed UTF-8 sequence at `pos`, or 0. When 0, `*bad` receives the length
// of the maximal ill-formed prefix (at least 1), following the Unicode "maximal subpart" rule.
std::size_t sequence_length_at(std::string_view s, std::size_t pos, std::size_t* bad) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
  const std::uint8_t lead = byte(pos);
  if (lead < 0x80) return 1;
  std::size_t need = 0;
  std::uint8_t lo = 0x80;
  std::uint8_t hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) lo = 0xA0;  // overlong
    if (lead == 0xED) hi = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    if (lead == 0xF0) lo = 0x90;  // overlong
    if (lead == 0xF4) hi = 0x8F;  // past U+10FFFF
  } else {
    *bad = 1;
    return 0;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    const std::size_t i = pos + k;
    const std::uint8_t min = k == 1 ? lo : 0x80;
    const std::uint8_t max = k == 1 ? hi : 0xBF;
    if (i >= s.size() || byte(i) < min || byte(i) > max) {
      *bad = k;
      return 0;
    }
  }
  return need + 1;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) noexcept {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    // Runs of ASCII dominate gradient files; skip them eight bytes at a time.
    if (pos + 8 <= bytes.size()) {
      std::uint64_t word = 0;
      std::memcpy(&word, bytes.data() + pos, sizeof word);
      if ((word & 0x8080808080808080ULL) == 0) {
        pos += 8;
        continue;
      }
    }
    if (static_cast<std::uint8_t>(bytes[pos]) < 0x80) {
      ++pos;
      continue;
    }
    std::size_t bad = 0;
    const std::size_t n = sequence_length_at(bytes, pos, &bad);
    if (n == 0) return false;
    pos += n;
  }
  return true;
}

std::string display_text(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    std::size_t bad = 0;
    const std::size_t n = sequence_length_at(bytes, pos, &bad);
    if (n == 0) {
      out.append(replacement_character);
      pos += bad;
    } else {
      out.append(bytes.substr(pos, n));
      pos += n;
    }
  }
  return out;
}

std::size_t whitespace_length_at(std::string_view text, std::size_t pos) noexcept {
  const auto at = [&](std::size_t i) {
    return i < text.size() ? static_cast<std::uint8_t>(text[i]) : std::uint8_t{0};
  };
  const std::uint8_t b0 = at(pos);
  if (b0 == ' ' || (b0 >= 0x09 && b0 <= 0x0D)) return 1;
  if (b0 < 0x80) return 0;
  const std::uint8_t b1 = at(pos + 1);
  if (b0 == 0xC2) return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;  // U+0085, U+00A0
  const std::uint8_t b2 = at(pos + 2);
  if (b0 == 0xE1) return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;  // U+1680
  if (b0 == 0xE2 && b1 == 0x80) {
    // U+2000..U+200A, U+2028, U+2029, U+202F
    return (b2 <= 0x8A && b2 >= 0x80) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF ? 3 : 0;
  }
  if (b0 == 0xE2 && b1 == 0x81) return b2 == 0x9F ? 3 : 0;    // U+205F
  if (b0 == 0xE3) return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;  // U+3000
  return 0;
}

std::string_view trim_whitespace(std::string_view text) noexcept {
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t ws = whitespace_length_at(text, start);
    if (ws == 0) break;
    start += ws;
  }
  // Scan forward to find where the trailing whitespace run begins: UTF-8 is not decodable
  // backwards without re-validating, and lines are short.
  std::size_t end = start;
  std::size_t pos = start;
  while (pos < text.size()) {
    const std::size_t ws = whitespace_length_at(text, pos);
    if (ws == 0) {
      ++pos;
      end = pos;
    } else {
      pos += ws;
    }
  }
  // `end` may sit inside a multi-byte character; extend it to the character's end.
  while (end < text.size() && (static_cast<std::uint8_t>(text[end]) & 0xC0) == 0x80)
    ++end;
  return text.substr(start, end - start);
}

std::string one_line(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const auto byte = static_cast<std::uint8_t>(text[pos]);
    // U+0085, U+2028 and U+2029 break lines too, in the encodings terminals and editors honour.
    const bool c1_next_line =
        byte == 0xC2 && pos + 1 < text.size() && static_cast<std::uint8_t>(text[pos + 1]) == 0x85;
    const bool separator = byte == 0xE2 && text.substr(pos, 2) == "\xE2\x80" &&
                           pos + 2 < text.size() &&
                           (static_cast<std::uint8_t>(text[pos + 2]) == 0xA8 ||
                            static_cast<std::uint8_t>(text[pos + 2]) == 0xA9);
    if (byte < 0x20 || byte == 0x7F) {
      out.append(replacement_character);
      pos += 1;
    } else if (c1_next_line) {
      out.append(replacement_character);
      pos += 2;
    } else if (separator) {
      out.append(replacement_character);
      pos += 3;
    } else {
      out.push_back(text[pos]);
      pos += 1;
    }
  }
  return out;
}

std::string clip_for_message(std::string_view token) {
  if (token.size() <= max_token_in_message) return std::string(token);
  std::size_t cut = max_token_in_message;
  while (cut > 0 && (static_cast<std::uint8_t>(token[cut]) & 0xC0) == 0x80)
    --cut;
  std::string out(token.substr(0, cut));
  out.append("\xE2\x80\xA6");  // U+2026, so the reader sees the token was cut
  return out;
}

}  // namespace quorvex_core
