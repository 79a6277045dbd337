// Whole-file reads, and writes that never leave a torn file, with errors as values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "quorvex/error.hpp"

namespace quorvex_core::io {

/// The whole file as bytes. `Io` when it cannot be opened or read, or is not a regular file
/// ("not a regular file"; a directory is the system's "Is a directory").
[[nodiscard]] Result<std::string> read_bytes(const std::string& path);

/// The whole file as UTF-8 text. `Io` when it cannot be read or is not valid UTF-8.
[[nodiscard]] Result<std::string> read_text(const std::string& path);

/// An open descriptor of the regular file at `path` for the caller to read and close. `Io` as
/// `read_bytes`.
[[nodiscard]] Result<int> open_input(const std::string& path);

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

/// What a write does with a regular file already at its path.
enum class Existing : std::uint8_t {
  /// Replaced; the old content is gone once the new is in place.
  Replace,
  /// `RefuseOverwrite`, also when the file appears while the new one is being written.
  Refuse,
  /// Kept under the first free `backup_path` name, claimed atomically, then replaced.
  Backup,
};

/// The absolute path with every link resolved (realpath), or nothing when it cannot be resolved
/// (errno then says why).
[[nodiscard]] std::optional<std::string> real_path(const std::string& path);

/// `path.bak` for `n` 0, else `path.bak.n`.
[[nodiscard]] std::string backup_path(const std::string& path, std::uint32_t n);

/// Writes `content` so that `path` names the old file or the complete new one at every instant:
/// the bytes go to a temporary file beside it (mode 0666 before the creation mask), are flushed
/// to the disk, and the file is then renamed over `path`. A failure or crash before the rename
/// leaves the old file untouched (a crash may leave the hidden temporary file behind). With
/// `Existing::Backup` the old file is first hard-linked to its backup name, so it is never
/// absent from both; concurrent writers each claim their own backup name. Returns the backup
/// made, if any. A symbolic link at `path` is refused (`Io`), whether or not it points anywhere;
/// an existing device or FIFO is written through, never renamed (`Refuse` still refuses it).
/// A failed create, rename or backup is `WriteStage::Create`, a failed write, flush or close
/// `WriteStage::Write`.
[[nodiscard]] std::expected<std::optional<std::string>, WriteError> write_file_staged(
    const std::string& path, std::string_view content, Existing existing = Existing::Replace);

/// `write_file_staged` with `Existing::Replace`, for callers that report every stage alike.
[[nodiscard]] Result<void> write_file(const std::string& path, std::string_view content);

/// The `Io` error for an output path that is a symbolic link.
[[nodiscard]] Error symlink_refused(const std::string& path);

}  // namespace quorvex_core::io
