// Refusing a call whose outputs name the same file twice, or one of its inputs: writing one
// would silently destroy what another role reads or holds.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "quorvex/error.hpp"

namespace quorvex_core::io {

/// A path with the role it plays in a call ("dwi", "out_bvec", ...).
struct RolePath {
  std::string_view role;
  std::string path;
  /// For an output: the input role it may replace in place (an output bvec over the input bvec,
  /// kept as its backup); empty when it may replace none.
  std::string_view replaces = {};
};

/// `Io` naming both roles and paths when an output is a symbolic link, or is the same file as
/// another output or as an input other than the one it `replaces`. Existing files are compared
/// by device and inode (so hard links and links to them count), files still to be created by
/// their folder's resolved path and their name. Touches nothing.
[[nodiscard]] Result<void> refuse_aliasing(const std::vector<RolePath>& outputs,
                                           const std::vector<RolePath>& inputs);

}  // namespace quorvex_core::io
