// The fitted tensor field handed to Python as raw little-endian float32 buffers for display.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

#include "quorvex/flip.hpp"
#include "quorvex/volume.hpp"

namespace quorvex_ext {

/// {"shape", "affine", "voxel_sizes", "frame_map", "v1", "fa", "s0", "mask"} in that order; the
/// per-voxel data as bytes objects in voxel order. New reference, or nullptr with an exception.
[[nodiscard]] PyObject* glyph_payload(const quorvex_core::GlyphData& glyph,
                                      const quorvex_core::VolumeInfo& info);

/// 4 bytes per value: the value rounded to float32 (nearest, ties to even), little-endian.
[[nodiscard]] PyObject* f32_bytes(std::span<const double> values);

}  // namespace quorvex_ext
