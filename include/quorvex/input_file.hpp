// The record of one input file: its display path, SHA-256 digest and size.
#pragma once

#include <cstdint>
#include <string>

#include "quorvex/error.hpp"

namespace quorvex_core {

struct InputFile {
  /// The path as display text (invalid UTF-8 replaced by U+FFFD).
  std::string path;
  /// 64 lower-case hexadecimal digits.
  std::string sha256;
  std::uint64_t bytes = 0;

  /// Reads the file at `path` (its real bytes) once, hashing what it reads. `Io` on failure.
  [[nodiscard]] static Result<InputFile> of(const std::string& path);
};

}  // namespace quorvex_core
