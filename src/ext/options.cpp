// Filling PipelineOptions the same way for every entry.
#include "options.hpp"

namespace quorvex_ext {

quorvex_core::pipeline::PipelineOptions pipeline_options(const Arguments& args) {
  quorvex_core::pipeline::PipelineOptions options;
  options.shell = args.optional_number("shell");
  options.b0_threshold = args.number("b0_threshold");
  options.tolerance = args.number("tolerance");
  if (args.has("norm_tolerance")) options.norm_tolerance = args.number("norm_tolerance");
  if (args.has("strict")) options.strict = args.flag("strict");
  options.flip_options.b0_threshold = options.b0_threshold;
  options.flip_options.tolerance = options.tolerance;
  return options;
}

}  // namespace quorvex_ext
