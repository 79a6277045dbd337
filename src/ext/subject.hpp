// The preparation every single-subject entry shares: table, image, frame map, step, mask and
// the pipeline options, in that order.
#pragma once

#include <chrono>
#include <optional>

#include "binder.hpp"
#include "quorvex/io/table_loader.hpp"
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
  quorvex_core::io::LoadedTable table;
  std::optional<quorvex_core::ImageArray> image;
  std::optional<quorvex_core::VolumeInfo> info;
  std::optional<quorvex_core::Mask> mask;
  quorvex_core::pipeline::PipelineOptions options;
  /// Set for `ImageUse::Timed`: the clock just before the image was read, and its read split.
  std::chrono::steady_clock::time_point start;
  std::chrono::nanoseconds decompress{0};
  std::chrono::nanoseconds convert{0};

  [[nodiscard]] const quorvex_core::Mask* mask_or_null() const { return mask ? &*mask : nullptr; }
};

/// Loads everything a subject entry needs. Nothing with a Python exception set on failure.
[[nodiscard]] std::optional<Subject> prepare_subject(const Arguments& args, ImageUse use);

/// The flip detector's probe length: the `step` argument if given, else 4 / mean voxel size,
/// at least 1 (1 when the mean voxel size is not positive).
[[nodiscard]] double default_step(std::optional<double> step, const quorvex_core::VolumeInfo& info);

}  // namespace quorvex_ext
