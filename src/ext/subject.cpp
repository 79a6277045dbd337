// Shared subject preparation.
#include "subject.hpp"

#include "boundary.hpp"
#include "mask_args.hpp"
#include "options.hpp"
#include "quorvex/frame.hpp"
#include "quorvex/volume_plan.hpp"
#include "quorvex/volume_stream.hpp"
#include "table_args.hpp"

namespace quorvex_ext {

namespace core = quorvex_core;

std::optional<Subject> prepare_subject(const Arguments& args, ImageUse use) {
  auto table = load_table(args);
  if (!table) return std::nullopt;
  Subject subject{std::move(*table), {}, {}, {}, pipeline_options(args), {}, {}, {}};
  const auto dwi = args.path("dwi");
  if (dwi) {
    subject.start = std::chrono::steady_clock::now();
    // The table decides which volumes the pipelines will look at; only those are read.
    const auto used = core::pipeline::volumes_used(subject.table.table, subject.options);
    auto read = core::stream_volume(*dwi, used);
    if (!read) {
      raise_error(read.error());
      return std::nullopt;
    }
    subject.image = std::move(read->image);
    subject.info = std::move(read->info);
    if (use == ImageUse::Timed) {
      subject.decompress = read->decompress;
      subject.convert = read->convert;
    }
    auto& flip = subject.options.flip_options;
    // A grad file holds scanner-frame directions; an FSL pair holds image-frame ones.
    flip.frame_map = core::voxel_frame_map(args.path("grad").has_value(), *subject.info);
    flip.step = core::pipeline::default_step(args.optional_number("step"), *subject.info);
  }
  if (!read_optional_mask(args, subject.mask)) return std::nullopt;
  return subject;
}

}  // namespace quorvex_ext
