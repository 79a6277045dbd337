// Internal: how the reader hands a filled buffer to an ImageArray without copying it.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "quorvex/volume.hpp"

namespace quorvex_core::detail {

struct ImageArrayAccess {
  /// An image of `shape` whose `count` samples sit at `byte_offset` (a multiple of 4) in
  /// `storage`.
  static ImageArray adopt(std::span<const std::size_t> shape, PageBuffer storage,
                          std::size_t byte_offset, std::size_t count) noexcept;
  /// Marks the volumes `image` holds: `slots[v]` is where volume v's run starts in the storage
  /// (in runs), `absent` when it was not read.
  static void keep_volumes(ImageArray& image, std::vector<std::size_t> slots) noexcept;
  static constexpr std::size_t absent = static_cast<std::size_t>(-1);
};

}  // namespace quorvex_core::detail
