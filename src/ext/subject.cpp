// Shared subject preparation.
#include "subject.hpp"

#include "arguments.hpp"
#include "boundary.hpp"
#include "quorvex/volume_plan.hpp"

namespace quorvex_ext {

namespace core = quorvex_core;

std::optional<Subject> prepare_subject(const Arguments& args, ImageUse use) {
  auto table = load_table(args);
  if (!table) return std::nullopt;
  Subject subject{std::move(*table), {}, {}, {}, {}, pipeline_options(args), {}, {}, {}};
  const auto dwi = args.path("dwi");
  if (dwi) {
    subject.start = std::chrono::steady_clock::now();
    // The table decides which volumes the pipelines will look at; only those are read, and the
    // fit is summed on the way.
    auto read = core::pipeline::read_for_audit(*dwi, subject.table.table, subject.options);
    if (!read) {
      raise_error(read.error());
      return std::nullopt;
    }
    subject.image = std::move(read->volume.image);
    subject.info = std::move(read->volume.info);
    if (use == ImageUse::Timed) {
      subject.decompress = read->volume.decompress;
      subject.convert = read->volume.convert;
      subject.fit_streamed = read->fit_time;
    }
    subject.frames = core::FrameMaps::resolve(subject.table.format, *subject.info);
    auto& flip = subject.options.flip_options;
    flip.streamed_fit = std::move(read->fit);
    flip.frame_map = subject.frames->to_voxel();
    flip.step = core::pipeline::default_step(args.optional_number("step"), *subject.info);
  }
  if (!read_optional_mask(args, subject.mask)) return std::nullopt;
  return subject;
}

}  // namespace quorvex_ext
