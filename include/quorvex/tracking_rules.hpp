// The rules of the confirmed verdict's tracking: which voxels are coherent anisotropic tissue and
// how one streamline is followed. A leaf, so the tracking itself needs nothing of the verdict.
#pragma once

#include <array>
#include <cstddef>

namespace quorvex_core {

/// Which voxels hold coherent anisotropic tissue: a valid fit with FA at least `fa`, at least
/// `min_neighbours` of the 26 neighbours valid with FA at least `fa`, and the mean |v . u| over
/// those neighbours at least `min_alignment` (random directions give about 0.5).
struct CoherentMaskRule {
  double fa = 0.2;
  std::size_t min_neighbours = 6;
  double min_alignment = 0.75;
};

/// How one streamline is followed: from the nearest voxel's transformed direction, sign-aligned
/// with the previous step.
struct TrackingRule {
  /// Voxel sizes in mm (their magnitudes are used).
  std::array<double, 3> voxel_size{1.0, 1.0, 1.0};
  /// Step length as a fraction of the smallest voxel size.
  double step_fraction = 0.5;
  /// A streamline stops at a voxel with a lower FA (or an invalid fit)...
  double stop_fa = 0.15;
  /// ...at a turn sharper than this in one step...
  double max_turn_deg = 45.0;
  /// ...and after this length on each side of its seed. Longer caps let a smooth field's long
  /// axis win by shape alone.
  double max_length_mm = 30.0;
};

}  // namespace quorvex_core
