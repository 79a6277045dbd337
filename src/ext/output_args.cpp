// The aliasing check of the writing entries.
#include "output_args.hpp"

#include <array>
#include <utility>

#include "boundary.hpp"
#include "quorvex/io/aliasing.hpp"

namespace quorvex_ext {

bool refuse_aliased_outputs(const Arguments& args) {
  namespace io = quorvex_core::io;
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
