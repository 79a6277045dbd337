// Shared subject preparation.
#include "subject.hpp"

#include <algorithm>

#include "boundary.hpp"
#include "mask_args.hpp"
#include "options.hpp"
#include "quorvex/frame.hpp"
#include "table_args.hpp"

namespace quorvex_ext {

namespace core = quorvex_core;

double default_step(std::optional<double> step, const core::VolumeInfo& info) {
  if (step) return *step;
  const double mean = (info.voxel_sizes[0] + info.voxel_sizes[1] + info.voxel_sizes[2]) / 3.0;
  // About 4 mm along the fibre, and never less than one voxel.
  return mean > 0.0 ? std::max(4.0 / mean, 1.0) : 1.0;
}

std::optional<Subject> prepare_subject(const Arguments& args, ImageUse use) {
  auto table = load_table(args);
  if (!table) return std::nullopt;
  Subject subject{std::move(*table), {}, {}, {}, pipeline_options(args), {}, {}, {}};
  const auto dwi = args.path("dwi");
  if (dwi) {
    subject.start = std::chrono::steady_clock::now();
    if (use == ImageUse::Timed) {
      auto read = core::read_volume_with_info_timed(*dwi);
      if (!read) {
        raise_error(read.error());
        return std::nullopt;
      }
      subject.image = std::move(read->image);
      subject.info = std::move(read->info);
      subject.decompress = read->decompress;
      subject.convert = read->convert;
    } else {
      auto read = core::read_volume_with_info(*dwi);
      if (!read) {
        raise_error(read.error());
        return std::nullopt;
      }
      subject.image = std::move(read->first);
      subject.info = std::move(read->second);
    }
    auto& flip = subject.options.flip_options;
    // A grad file holds scanner-frame directions; an FSL pair holds image-frame ones.
    flip.frame_map = core::voxel_frame_map(args.path("grad").has_value(), *subject.info);
    flip.step = default_step(args.optional_number("step"), *subject.info);
  }
  if (!read_optional_mask(args, subject.mask)) return std::nullopt;
  return subject;
}

}  // namespace quorvex_ext
