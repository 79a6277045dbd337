// The argument conversions every entry shares, so each option means the same in both modules.
#include "arguments.hpp"

#include <array>
#include <utility>

#include "boundary.hpp"
#include "quorvex/io/aliasing.hpp"

namespace quorvex_ext {

namespace core = quorvex_core;

core::pipeline::PipelineOptions pipeline_options(const Arguments& args) {
  core::pipeline::PipelineOptions options;
  options.shell = args.optional_number("shell");
  if (args.has("norm_tolerance")) options.norm_tolerance = args.number("norm_tolerance");
  if (args.has("strict")) options.strict = args.flag("strict");
  options.flip_options.b0_threshold = args.number("b0_threshold");
  options.flip_options.tolerance = args.number("tolerance");
  return options;
}

std::optional<core::LoadedTable> load_table(const Arguments& args) {
  const auto grad = args.path("grad");
  const auto bvec = args.path("bvec");
  const auto bval = args.path("bval");
  if (!grad && (!bvec || !bval)) {
    raise_value_error("provide bvec and bval, or grad");
    return std::nullopt;
  }
  auto loaded = grad ? core::load_mrtrix(*grad) : core::load_fsl(*bvec, *bval);
  if (!loaded) {
    raise_error(loaded.error());
    return std::nullopt;
  }
  return std::move(*loaded);
}

bool read_optional_mask(const Arguments& args, std::optional<core::Mask>& mask) {
  mask.reset();
  const auto path = args.path("mask");
  if (!path) return true;
  auto loaded = core::read_mask(*path);
  if (!loaded) {
    raise_error(loaded.error());
    return false;
  }
  mask = std::move(*loaded);
  return true;
}

bool refuse_aliased_outputs(const Arguments& args) {
  namespace io = core::io;
  std::vector<io::RolePath> outputs;
  std::vector<io::RolePath> inputs;
  constexpr std::array<std::pair<std::string_view, std::string_view>, 4> output_roles{
      {{"out_bvec", "bvec"}, {"out_bval", "bval"}, {"out_grad", "grad"}, {"provenance", ""}}};
  for (const auto& [role, replaces] : output_roles) {
    if (auto path = args.path(role)) outputs.push_back({role, std::move(*path), replaces});
  }
  for (const std::string_view role : {"dwi", "mask", "bvec", "bval", "grad"}) {
    if (!args.has(role)) continue;
    if (auto path = args.path(role)) inputs.push_back({role, std::move(*path)});
  }
  if (auto refused = io::refuse_aliasing(outputs, inputs); !refused) {
    raise_error(refused.error());
    return false;
  }
  return true;
}

}  // namespace quorvex_ext
