// Internal: how the reader hands a filled buffer to an ImageArray without copying it.
#pragma once

#include <cstddef>
#include <span>

#include "quorvex/volume.hpp"

namespace quorvex_core::detail {

struct ImageArrayAccess {
  /// An image of `shape` whose `count` samples sit at `byte_offset` (a multiple of 4) in
  /// `storage`.
  static ImageArray adopt(std::span<const std::size_t> shape, PageBuffer storage,
                          std::size_t byte_offset, std::size_t count) noexcept;
};

}  // namespace quorvex_core::detail
