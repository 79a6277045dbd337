// Whole-file reads and create-or-truncate writes with errors as values.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "quorvex/error.hpp"

namespace quorvex_core::io {

/// The whole file as bytes. `Io` when it cannot be opened or read.
[[nodiscard]] Result<std::string> read_bytes(const std::string& path);

/// The whole file as UTF-8 text. `Io` when it cannot be read or is not valid UTF-8.
[[nodiscard]] Result<std::string> read_text(const std::string& path);

/// Streams the file through `on_chunk` in order, then returns the byte count. `Io` on failure;
/// a failure part-way leaves whatever `on_chunk` saw, which the caller then discards.
[[nodiscard]] Result<std::size_t> read_chunks(
    const std::string& path, const std::function<void(std::string_view)>& on_chunk);

/// Creates or truncates `path` (mode 0666 before the creation mask) and writes `content`.
/// A short write, a failed write or a failed close is an `Io` error, never silent.
[[nodiscard]] Result<void> write_file(const std::string& path, std::string_view content);

}  // namespace quorvex_core::io
