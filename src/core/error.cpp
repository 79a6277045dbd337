// Display texts of the core error kinds.
#include "quorvex/error.hpp"

#include <fmt/format.h>

#include <system_error>
#include <utility>

namespace quorvex_core {

Error::Error(ErrorKind kind, std::string text, std::string detail, std::uint64_t first,
             std::uint64_t second)
    : kind_(kind),
      text_(std::move(text)),
      detail_(std::move(detail)),
      first_(first),
      second_(second) {}

namespace {

// The same shape as the platform's own error display, so users can search for it.
std::string os_error_text(int code) {
  return fmt::format("{} (os error {})", std::generic_category().message(code), code);
}

}  // namespace

Error Error::io_errno(int code) {
  return {ErrorKind::Io, os_error_text(code)};
}
Error Error::nifti_errno(int code) {
  return {ErrorKind::Nifti, os_error_text(code)};
}

Error Error::io_invalid_utf8() {
  return {ErrorKind::Io, "stream did not contain valid UTF-8"};
}
Error Error::io_message(std::string message) {
  return {ErrorKind::Io, std::move(message)};
}
Error Error::nifti(std::string message) {
  return {ErrorKind::Nifti, std::move(message)};
}
Error Error::json(std::string message) {
  return {ErrorKind::Json, std::move(message)};
}
Error Error::json_from_io(const Error& io) {
  return {ErrorKind::Json, io.text_};
}

Error Error::parse(std::string path, std::string message) {
  return {ErrorKind::Parse, std::move(path), std::move(message)};
}

Error Error::table_mismatch(std::uint64_t directions, std::uint64_t bvals) {
  return {ErrorKind::TableMismatch, {}, {}, directions, bvals};
}

Error Error::volume_mismatch(std::uint64_t gradients, std::uint64_t volumes) {
  return {ErrorKind::VolumeMismatch, {}, {}, gradients, volumes};
}

Error Error::mask_mismatch(std::uint64_t mask_voxels, std::uint64_t grid_voxels) {
  return {ErrorKind::MaskMismatch, {}, {}, mask_voxels, grid_voxels};
}

Error Error::dti_fit(std::string message) {
  return {ErrorKind::DtiFit, std::move(message)};
}
Error Error::no_usable_shell() {
  return {ErrorKind::NoUsableShell, {}};
}

Error Error::amplitude_encoded(std::string message) {
  return {ErrorKind::AmplitudeEncoded, std::move(message)};
}

Error Error::refuse_overwrite(std::string path) {
  return {ErrorKind::RefuseOverwrite, std::move(path)};
}

std::string Error::without_kind() const {
  switch (kind_) {
    case ErrorKind::Io:
    case ErrorKind::Nifti:
    case ErrorKind::Json:
    case ErrorKind::DtiFit:
    case ErrorKind::AmplitudeEncoded:
      return text_;
    default:
      return display();
  }
}

std::string Error::display() const {
  switch (kind_) {
    case ErrorKind::Io:
      return "I/O error: " + text_;
    case ErrorKind::Nifti:
      return "NIfTI error: " + text_;
    case ErrorKind::Json:
      return "JSON error: " + text_;
    case ErrorKind::Parse:
      return fmt::format("failed to parse {}: {}", text_, detail_);
    case ErrorKind::TableMismatch:
      return fmt::format("gradient table mismatch: {} directions but {} b-values", first_, second_);
    case ErrorKind::VolumeMismatch:
      return fmt::format("volume mismatch: {} gradients but {} DWI volumes", first_, second_);
    case ErrorKind::MaskMismatch:
      return fmt::format("mask grid mismatch: mask has {} voxels but the DWI grid has {}", first_,
                         second_);
    case ErrorKind::DtiFit:
      return "DTI fit failed: " + text_;
    case ErrorKind::NoUsableShell:
      return "no usable non-b0 shell for flip detection";
    case ErrorKind::AmplitudeEncoded:
      return "amplitude-encoded bvecs (--strict): " + text_;
    case ErrorKind::RefuseOverwrite:
      return fmt::format("refusing to overwrite existing file: {} (pass --force to allow)", text_);
  }
  return text_;
}

}  // namespace quorvex_core
