// UTF-8 checks, display text for byte paths, and splitting on the Unicode White_Space set.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quorvex_core {

/// True when `bytes` is well-formed UTF-8 (no overlongs, surrogates or code points past U+10FFFF).
[[nodiscard]] bool is_valid_utf8(std::string_view bytes) noexcept;

/// `bytes` as UTF-8 text, each maximal ill-formed subsequence replaced by U+FFFD.
[[nodiscard]] std::string display_text(std::string_view bytes);

/// Byte length of the White_Space character starting at `pos`, or 0 when there is none there.
/// The input is assumed to be valid UTF-8.
[[nodiscard]] std::size_t whitespace_length_at(std::string_view text, std::size_t pos) noexcept;

/// `whitespace_length_at` with the ASCII case inline: gradient files are almost all ASCII and
/// the token scanners call this once per byte.
[[nodiscard]] inline std::size_t whitespace_length(std::string_view text,
                                                   std::size_t pos) noexcept {
  const auto byte = static_cast<unsigned char>(text[pos]);
  if (byte < 0x80) return (byte == ' ' || (byte >= 0x09 && byte <= 0x0D)) ? 1 : 0;
  return whitespace_length_at(text, pos);
}

/// `text` without White_Space at either end.
[[nodiscard]] std::string_view trim_whitespace(std::string_view text) noexcept;

/// Calls `on_token(token)` for each run of non-White_Space characters, in order, until it
/// returns false. Returns false when stopped early.
template <class OnToken>
bool for_each_token(std::string_view text, OnToken&& on_token) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (const std::size_t ws = whitespace_length(text, pos); ws != 0) {
      pos += ws;
      continue;
    }
    const std::size_t start = pos;
    while (pos < text.size() && whitespace_length(text, pos) == 0)
      ++pos;
    if (!on_token(text.substr(start, pos - start))) return false;
  }
  return true;
}

/// Calls `on_line(line)` for each line-feed-separated line, a carriage return ending a line
/// dropped; a last line without a line feed counts, an empty text has no lines.
template <class OnLine>
bool for_each_line(std::string_view text, OnLine&& on_line) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    const std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!on_line(line)) return false;
    pos = next;
  }
  return true;
}

/// `text` (valid UTF-8) with every control character and Unicode line break replaced by U+FFFD,
/// so text taken from a file cannot break a one-line message apart.
[[nodiscard]] std::string one_line(std::string_view text);

/// A token shortened for a one-line message: a hostile file may hold one gigantic token.
[[nodiscard]] std::string clip_for_message(std::string_view token);

}  // namespace quorvex_core
