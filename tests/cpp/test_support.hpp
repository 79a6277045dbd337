// Helpers shared by the core tests: exact error assertions and scratch folders.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "quorvex/error.hpp"

/// Asserts that `expr` (a Result) failed with `kind` and exactly the display text `text`.
#define EXPECT_ERROR(expr, expected_kind, text)                                        \
  do {                                                                                 \
    const auto quorvex_result_ = (expr);                                               \
    ASSERT_FALSE(quorvex_result_.has_value()) << "expected an error: " #expr;          \
    EXPECT_EQ(quorvex_result_.error().kind(), quorvex_core::ErrorKind::expected_kind); \
    EXPECT_EQ(quorvex_result_.error().display(), (text));                              \
  } while (false)

namespace quorvex_test {

/// A fresh folder removed when the test ends.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvex-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  /// Path of `name` inside the folder.
  [[nodiscard]] std::string file(std::string_view name) const {
    return (std::filesystem::path(path_) / name).string();
  }

  /// Writes `content` to `name` and returns its path.
  std::string write(std::string_view name, std::string_view content) const {
    const std::string path = file(name);
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

 private:
  std::string path_;
};

inline std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace quorvex_test
