// The table-source choice shared by every single-subject entry.
#include "table_args.hpp"

#include "boundary.hpp"

namespace quorvex_ext {

std::optional<quorvex_core::io::LoadedTable> load_table(const Arguments& args) {
  const auto grad = args.path("grad");
  const auto bvec = args.path("bvec");
  const auto bval = args.path("bval");
  if (!grad && (!bvec || !bval)) {
    raise_value_error("provide bvec and bval, or grad");
    return std::nullopt;
  }
  auto loaded =
      grad ? quorvex_core::io::load_mrtrix(*grad) : quorvex_core::io::load_fsl(*bvec, *bval);
  if (!loaded) {
    raise_error(loaded.error());
    return std::nullopt;
  }
  return std::move(*loaded);
}

}  // namespace quorvex_ext
