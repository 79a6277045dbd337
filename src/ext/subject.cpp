// Shared subject preparation.
#include "subject.hpp"

#include "arguments.hpp"
#include "boundary.hpp"

namespace quorvex_ext {

namespace core = quorvex_core;

std::optional<Subject> prepare_subject(const Arguments& args, ImageUse use) {
  auto table = load_table(args);
  if (!table) return std::nullopt;
  Subject subject{std::move(*table), {}, {}, {}, {}, pipeline_options(args), {}, {}, {}};
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
    subject.frames = core::FrameMaps::resolve(subject.table.format, *subject.info);
    auto& flip = subject.options.flip_options;
    flip.frame_map = subject.frames->to_voxel();
    flip.step = core::pipeline::default_step(args.optional_number("step"), *subject.info);
  }
  if (!read_optional_mask(args, subject.mask)) return std::nullopt;
  return subject;
}

}  // namespace quorvex_ext
