// The mask argument shared by the entries that accept one.
#include "mask_args.hpp"

#include "boundary.hpp"

namespace quorvex_ext {

bool read_optional_mask(const Arguments& args, std::optional<quorvex_core::Mask>& mask) {
  mask.reset();
  const auto path = args.path("mask");
  if (!path) return true;
  auto loaded = quorvex_core::read_mask(*path);
  if (!loaded) {
    raise_error(loaded.error());
    return false;
  }
  mask = std::move(*loaded);
  return true;
}

}  // namespace quorvex_ext
