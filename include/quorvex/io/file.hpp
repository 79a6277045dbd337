// Whole-file reads and create-or-truncate writes with errors as values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>

#include "quorvex/error.hpp"

namespace quorvex_core::io {

/// The whole file as bytes. `Io` when it cannot be opened or read, or is not a regular file
/// ("not a regular file"; a directory is the system's "Is a directory").
[[nodiscard]] Result<std::string> read_bytes(const std::string& path);

/// The whole file as UTF-8 text. `Io` when it cannot be read or is not valid UTF-8.
[[nodiscard]] Result<std::string> read_text(const std::string& path);

/// Streams the file through `on_chunk` in order, then returns the byte count. `Io` on failure;
/// a failure part-way leaves whatever `on_chunk` saw, which the caller then discards.
[[nodiscard]] Result<std::size_t> read_chunks(
    const std::string& path, const std::function<void(std::string_view)>& on_chunk);

/// Where a write failed: documents report a file they could not create differently from one
/// they could not fill.
enum class WriteStage : std::uint8_t { Create, Write };

struct WriteError {
  WriteStage stage;
  Error error;
};

/// Creates or truncates `path` (mode 0666 before the creation mask) and writes `content`.
/// A failed create, write or close is an `Io` error with the stage it happened in, never silent.
[[nodiscard]] std::expected<void, WriteError> write_file_staged(const std::string& path,
                                                                std::string_view content);

/// `write_file_staged` for callers that report every stage alike.
[[nodiscard]] Result<void> write_file(const std::string& path, std::string_view content);

}  // namespace quorvex_core::io
