"""Turning a glyph payload (raw float32 buffers from the ``*_with_glyphs`` functions) into numpy
arrays shaped like the image grid."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np


@dataclass(frozen=True)
class GlyphField:
    """The fitted tensor field of one detection, indexed ``[x, y, z]`` like the image."""

    v1: np.ndarray  # (nx, ny, nz, 3) principal eigenvectors in the table's frame
    fa: np.ndarray  # (nx, ny, nz) fractional anisotropy
    s0: np.ndarray  # (nx, ny, nz) reference (mean b0) signal
    mask: np.ndarray  # (nx, ny, nz) bool, the voxels coherence was judged on
    affine: np.ndarray  # (4, 4) voxel-to-world
    voxel_sizes: np.ndarray  # (3,)
    frame_map: np.ndarray  # (3, 3) table frame to voxel axes

    @property
    def v1_voxel(self) -> np.ndarray:
        """Principal directions carried onto the voxel axes (what the detector scored)."""
        return self.v1 @ self.frame_map.T


def to_arrays(payload: dict[str, Any]) -> GlyphField:
    """Maps the payload's buffers without copying them per voxel.

    The buffers are in voxel order with z fastest, so a C-order reshape to (nx, ny, nz) indexes
    them as ``[x, y, z]``.
    """
    shape = tuple(int(n) for n in payload["shape"])
    f32 = np.dtype("<f4")
    return GlyphField(
        v1=np.frombuffer(payload["v1"], dtype=f32).reshape(shape + (3,)),
        fa=np.frombuffer(payload["fa"], dtype=f32).reshape(shape),
        s0=np.frombuffer(payload["s0"], dtype=f32).reshape(shape),
        mask=np.frombuffer(payload["mask"], dtype=np.uint8).reshape(shape).astype(bool),
        affine=np.asarray(payload["affine"], dtype=float),
        voxel_sizes=np.asarray(payload["voxel_sizes"], dtype=float),
        frame_map=np.asarray(payload["frame_map"], dtype=float),
    )
