// The one error type of the core: every failure is one of eleven kinds with one display text.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace quorvex_core {

/// The error kinds, in their fixed order.
enum class ErrorKind : std::uint8_t {
  Io,
  Nifti,
  Json,
  Parse,
  TableMismatch,
  VolumeMismatch,
  MaskMismatch,
  DtiFit,
  NoUsableShell,
  AmplitudeEncoded,
  RefuseOverwrite,
};

/// A failure of a core operation. It carries just enough to print one line; consumers only
/// display it.
class Error {
 public:
  /// `Io` from an operating-system error number: its description plus " (os error N)".
  [[nodiscard]] static Error io_errno(int code);
  /// `Io` for a text file that is not valid UTF-8.
  [[nodiscard]] static Error io_invalid_utf8();
  /// `Io` with a ready-made message (an I/O failure that has no error number).
  [[nodiscard]] static Error io_message(std::string message);
  [[nodiscard]] static Error nifti(std::string message);
  /// `Nifti` for an image file the system could not open or read: the same text as `io_errno`.
  [[nodiscard]] static Error nifti_errno(int code);
  [[nodiscard]] static Error json(std::string message);
  /// `Json` for a document whose write failed: the I/O error's own text.
  [[nodiscard]] static Error json_from_io(const Error& io);
  /// `Parse`: `path` is display text, `message` the reader's description.
  [[nodiscard]] static Error parse(std::string path, std::string message);
  [[nodiscard]] static Error table_mismatch(std::uint64_t directions, std::uint64_t bvals);
  [[nodiscard]] static Error volume_mismatch(std::uint64_t gradients, std::uint64_t volumes);
  [[nodiscard]] static Error mask_mismatch(std::uint64_t mask_voxels, std::uint64_t grid_voxels);
  [[nodiscard]] static Error dti_fit(std::string message);
  [[nodiscard]] static Error no_usable_shell();
  [[nodiscard]] static Error amplitude_encoded(std::string message);
  [[nodiscard]] static Error refuse_overwrite(std::string path);

  [[nodiscard]] ErrorKind kind() const noexcept { return kind_; }
  /// The whole message the user sees.
  [[nodiscard]] std::string display() const;
  /// The message without its kind's prefix where it has one ("I/O error: ", "NIfTI error: ",
  /// ...): for a failed system call, the system's own words. The whole message otherwise.
  [[nodiscard]] std::string without_kind() const;

 private:
  Error(ErrorKind kind, std::string text, std::string detail = {}, std::uint64_t first = 0,
        std::uint64_t second = 0);

  ErrorKind kind_;
  std::string text_;
  std::string detail_;
  std::uint64_t first_;
  std::uint64_t second_;
};

/// Every fallible core operation returns its value or one `Error`.
template <class T>
using Result = std::expected<T, Error>;

/// Shorthand for returning an error from a function whose result type is `Result<T>`.
[[nodiscard]] inline std::unexpected<Error> fail(Error error) {
  return std::unexpected<Error>(std::move(error));
}

}  // namespace quorvex_core
