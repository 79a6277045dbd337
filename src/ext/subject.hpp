// The preparation every single-subject entry shares: table, image, frame map, step, mask and
// the pipeline options, in that order.
#pragma once

#include <chrono>
#include <optional>

#include "binder.hpp"
#include "quorvex/documents/table_loader.hpp"
#include "quorvex/frame.hpp"
#include "quorvex/pipeline.hpp"
#include "quorvex/volume.hpp"

namespace quorvex_ext {

enum class ImageUse : std::uint8_t {
  /// `dwi` may be None (audit).
  Optional,
  /// `dwi` is required.
  Required,
  /// Required, read with the timed reader (the profiled audits).
  Timed,
};

struct Subject {
  quorvex_core::LoadedTable table;
  std::optional<quorvex_core::ImageArray> image;
  std::optional<quorvex_core::VolumeInfo> info;
  /// Resolved from the table's format and the image, once: the detector and the writers share it.
  std::optional<quorvex_core::FrameMaps> frames;
  std::optional<quorvex_core::Mask> mask;
  quorvex_core::pipeline::PipelineOptions options;
  /// Set for `ImageUse::Timed`: the clock just before the image was read, and its read split.
  std::chrono::steady_clock::time_point start;
  std::chrono::nanoseconds decompress{0};
  std::chrono::nanoseconds convert{0};
  /// The fit's work done while the image streamed in.
  std::chrono::nanoseconds fit_streamed{0};

  [[nodiscard]] const quorvex_core::Mask* mask_or_null() const { return mask ? &*mask : nullptr; }
};

/// Loads everything a subject entry needs. Nothing with a Python exception set on failure.
[[nodiscard]] std::optional<Subject> prepare_subject(const Arguments& args, ImageUse use);

}  // namespace quorvex_ext
