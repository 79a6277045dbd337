#include "quorvex/text.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace quorvex_core;

namespace {

std::vector<std::string> tokens(std::string_view text) {
  std::vector<std::string> out;
  for_each_token(text, [&](std::string_view t) {
    out.emplace_back(t);
    return true;
  });
  return out;
}

}  // namespace

TEST(text_test, utf8_validation_and_display_text) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("plain ascii"));
  EXPECT_TRUE(is_valid_utf8("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"));
  for (const char* bad : {"\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                          "\xF5\x80\x80\x80", "\xC3", "\xE2\x82", "ok\xFF"}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << bad;
  }
  // Display text replaces maximal subparts.
  EXPECT_EQ(display_text("sub-01\xFF.bvec"), "sub-01\xEF\xBF\xBD.bvec");
  // A truncated three-byte sequence is one replacement, not two.
  EXPECT_EQ(display_text("a\xE2\x82z"), "a\xEF\xBF\xBDz");
  EXPECT_EQ(display_text("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(display_text("\xC3\xA9"), "\xC3\xA9");
}

TEST(text_test, tokens_lines_and_trimming_split_on_every_unicode_white_space) {
  const char* separators[] = {"\t",           "\n",           "\v",
                              "\f",           "\r",           " ",
                              "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80",
                              "\xE2\x80\x80", "\xE2\x80\x8A", "\xE2\x80\xA8",
                              "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
                              "\xE3\x80\x80"};
  for (const char* sep : separators) {
    const std::string text = std::string(sep) + "1" + sep + sep + "2" + sep;
    EXPECT_EQ(tokens(text), (std::vector<std::string>{"1", "2"})) << sep;
  }
  // Near neighbours of the set are token characters.
  for (const char* not_sep : {"\xE2\x80\x8B", "\xE2\x81\xA0", "\xEF\xBB\xBF", ",", ";"}) {
    const std::string text = std::string("1") + not_sep + "2";
    EXPECT_EQ(tokens(text).size(), 1U) << not_sep;
  }
  // Trimming and lines.
  EXPECT_EQ(trim_whitespace("\xE3\x80\x80 # x \t"), "# x");
  EXPECT_EQ(trim_whitespace("  \xC3\xA9 "), "\xC3\xA9");
  EXPECT_EQ(trim_whitespace(" \t "), "");
  std::vector<std::string> lines;
  for_each_line("a\r\nb\n\nc\r", [&](std::string_view l) {
    lines.emplace_back(l);
    return true;
  });
  EXPECT_EQ(lines, (std::vector<std::string>{"a", "b", "", "c"}));
}

TEST(text_test, messages_are_clipped_on_a_boundary_and_kept_on_one_line) {
  EXPECT_EQ(clip_for_message("abc"), "abc");
  const std::string huge(1 << 20, 'x');
  const std::string clipped = clip_for_message(huge);
  EXPECT_LT(clipped.size(), 300U);
  EXPECT_TRUE(is_valid_utf8(clipped));
  const std::string accents = std::string(150, 'a') + std::string(200, '\xC3');
  std::string mixed;
  for (int i = 0; i < 150; ++i)
    mixed += "\xC3\xA9";
  EXPECT_TRUE(is_valid_utf8(clip_for_message(mixed)));
  EXPECT_EQ(one_line("j-"), "j-");
  EXPECT_EQ(one_line(std::string("a\nb\r\tc\x7F", 7)),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD\xEF\xBF\xBD"
            "c\xEF\xBF\xBD");
  EXPECT_EQ(one_line("x\xC2\x85y\xE2\x80\xA8z\xE2\x80\xA9"),
            "x\xEF\xBF\xBDy\xEF\xBF\xBDz\xEF\xBF\xBD");
  EXPECT_EQ(one_line("\xC3\xA9\xE2\x80\xA6"), "\xC3\xA9\xE2\x80\xA6");
}
