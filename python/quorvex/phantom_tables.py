"""The phantom's gradient tables: the frames a table is written in, the 48 signed axis
permutations a table can be corrupted by, and the FSL and MRtrix writers. The frame conventions
are set out in :mod:`quorvex.phantom`."""

from __future__ import annotations

import os
from typing import Protocol

import numpy as np


class Phantom(Protocol):
    """What the writers read of a phantom: its voxel-frame table and its affine."""

    directions: np.ndarray
    bvals: np.ndarray
    affine: np.ndarray

_PERMUTATIONS = ((0, 1, 2), (0, 2, 1), (1, 0, 2), (1, 2, 0), (2, 0, 1), (2, 1, 0))
_AXIS_LETTERS = "xyz"


def _frame_matrices(affine: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Return (F, W): the FSL mirror and the world-to-voxel map of an affine."""
    a3 = np.asarray(affine, dtype=np.float64)[:3, :3]
    fsl = np.diag([-1.0, 1.0, 1.0]) if np.linalg.det(a3) > 0 else np.eye(3)
    lengths = np.linalg.norm(a3, axis=0)
    world_to_voxel = np.eye(3) if np.any(lengths < 1e-9) else (a3 / lengths).T
    return fsl, world_to_voxel


def _clean_zeros(directions: np.ndarray) -> np.ndarray:
    # Negating a b0's zero vector gives -0.0, which would print as "-0.000000".
    return directions + 0.0


def fsl_directions(directions: np.ndarray, affine: np.ndarray) -> np.ndarray:
    """Voxel-frame directions (n, 3) written in the FSL bvec frame of an image with this affine."""
    fsl, _ = _frame_matrices(affine)
    return _clean_zeros(np.asarray(directions, dtype=np.float64) @ fsl.T)


def world_directions(directions: np.ndarray, affine: np.ndarray) -> np.ndarray:
    """Voxel-frame directions (n, 3) written in the world (scanner) frame of this affine.

    Non-zero rows are unit length; for an affine with shear they are the unit directions that
    the world-to-voxel map carries back onto the voxel-frame ones.
    """
    _, world_to_voxel = _frame_matrices(affine)
    out = np.asarray(directions, dtype=np.float64) @ np.linalg.inv(world_to_voxel).T
    norms = np.linalg.norm(out, axis=1, keepdims=True)
    return _clean_zeros(np.divide(out, norms, out=np.zeros_like(out), where=norms > 0))


def candidates() -> list[tuple[str, np.ndarray]]:
    """The 48 signed axis permutations as (label, matrix), in the detector's fixed order.

    Applied to a direction g, the matrix gives ``(M @ g)[r] = s_r * g[p_r]``; the label spells,
    for output axes x, y, z in turn, the sign s_r and the letter of the input axis p_r. The
    order runs over the permutations (xyz, xzy, yxz, yzx, zxy, zyx), and within each over the
    sign code k = 0..7 whose bit r negates output axis r: index 0 is the identity "+x+y+z",
    and index 8q + (7 - k) is the antipode (the negation) of index 8q + k.
    """
    out = []
    for perm in _PERMUTATIONS:
        for code in range(8):
            signs = [-1.0 if code >> r & 1 else 1.0 for r in range(3)]
            matrix = np.zeros((3, 3))
            label = ""
            for r in range(3):
                matrix[r, perm[r]] = signs[r]
                label += ("-" if signs[r] < 0 else "+") + _AXIS_LETTERS[perm[r]]
            out.append((label, matrix))
    return out


def candidate_matrix(label: str) -> np.ndarray:
    """The matrix of the candidate with this label; ValueError for an unknown label."""
    for name, matrix in candidates():
        if name == label:
            return matrix
    raise ValueError(f"unknown candidate label: {label!r}")


def corrupt(directions: np.ndarray, label: str) -> np.ndarray:
    """Apply candidate ``label`` to every row g of ``directions`` (n, 3): g -> M @ g.

    The rows are taken in whatever frame they are given in. The table is recovered by applying
    the candidate whose matrix is ``M.T`` (its inverse); zero rows stay zero.
    """
    return _clean_zeros(np.asarray(directions, dtype=np.float64) @ candidate_matrix(label).T)


def _file_directions(phantom: Phantom, frame: str, corruption: str | None) -> np.ndarray:
    if frame == "fsl":
        rows = fsl_directions(phantom.directions, phantom.affine)
    else:
        rows = world_directions(phantom.directions, phantom.affine)
    return rows if corruption is None else corrupt(rows, corruption)


def _format_b(b: float) -> str:
    return str(int(b)) if float(b).is_integer() else repr(float(b))


def write_fsl(
    bvec: str | os.PathLike[str],
    bval: str | os.PathLike[str],
    phantom: Phantom,
    corruption: str | None = None,
) -> None:
    """Write the phantom's table as an FSL pair (3 rows of directions; one row of b-values).

    Directions are written in the FSL frame of ``phantom.affine``; ``corruption``, a candidate
    label, is applied in that frame (see the module docstring).
    """
    rows = _file_directions(phantom, "fsl", corruption)
    with open(bvec, "w", encoding="ascii") as fh:
        fh.writelines(" ".join(f"{v:.8f}" for v in rows[:, axis]) + "\n" for axis in range(3))
    with open(bval, "w", encoding="ascii") as fh:
        fh.write(" ".join(_format_b(b) for b in phantom.bvals) + "\n")


def write_mrtrix(
    path: str | os.PathLike[str], phantom: Phantom, corruption: str | None = None
) -> None:
    """Write the phantom's table as an MRtrix gradient file: one ``x y z b`` row per volume.

    Directions are written in the world frame of ``phantom.affine``; ``corruption``, a candidate
    label, is applied in that frame (see the module docstring).
    """
    rows = _file_directions(phantom, "mrtrix", corruption)
    with open(path, "w", encoding="ascii") as fh:
        fh.write("# quorvex phantom, directions in scanner coordinates\n")
        fh.writelines(
            f"{g[0]:.8f} {g[1]:.8f} {g[2]:.8f} {_format_b(b)}\n"
            for g, b in zip(rows, phantom.bvals, strict=True)
        )
