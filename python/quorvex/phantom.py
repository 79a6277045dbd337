"""Synthetic brain-like diffusion phantom with known fibre truth, for tests, benchmarks and demos.

The phantom is built in the *voxel frame*: fibre tangents and gradient directions are unit
vectors along the image's voxel axes (i, j, k), on a grid of isotropic voxels, so they are the
same numbers whatever affine the image is later given. The affine only decides how the image
is placed in the world and, through that, how the gradient table must be written:

* FSL ``.bvec``: ``g_fsl = F @ g_vox`` with ``F = diag(-1, 1, 1)`` when ``det(A3) > 0`` and the
  identity otherwise (FSL keeps a radiological voxel frame).
* MRtrix ``.b``: ``g_world = inv(W) @ g_vox`` where row r of ``W`` is column r of ``A3`` divided
  by its length; ``W`` maps world directions onto the voxel axes, and without shear
  ``inv(W) = W.T``, the rotation part of the affine.

``A3`` is the upper-left 3 x 3 block of the affine. A table can be written corrupted by any of the
48 signed axis permutations (:func:`candidates`). The corruption ``M`` is applied to every
direction *in the frame of the file being written* (``g_file -> M @ g_file``), after the frame
conversion above; the repair that a reader of that file must apply to the directions as read is
therefore ``inv(M) = M.T``, or its negation ``-M.T``, which describes the same axes since a
diffusion direction has no sign.

Only numpy is needed: the NIfTI-1 writer packs its 348-byte header with :mod:`struct`.

Example::

    p = make_phantom(shape=(40, 40, 30), affine="ras", shells=((1000, 32),), snr=20.0)
    write_nifti("dwi.nii.gz", p.data, p.affine)
    write_fsl("dwi.bvec", "dwi.bval", p, corruption="-x+y+z")
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

from quorvex.phantom_nifti import write_nifti
from quorvex.phantom_tables import (
    candidate_matrix,
    candidates,
    corrupt,
    fsl_directions,
    world_directions,
    write_fsl,
    write_mrtrix,
)

__all__ = [
    "BACKGROUND",
    "CSF",
    "GREY",
    "WHITE",
    "Phantom",
    "affine_preset",
    "candidate_matrix",
    "candidates",
    "corrupt",
    "fsl_directions",
    "make_phantom",
    "shell_directions",
    "world_directions",
    "write_fsl",
    "write_mrtrix",
    "write_nifti",
]

# Tissue labels of Phantom.tissue.
BACKGROUND, CSF, GREY, WHITE = 0, 1, 2, 3

# b0 signal per tissue (T2-weighted contrast: CSF brightest, white matter darkest); the noise
# level is set against the white-matter value, so SNR means what it means on a scanner console.
_S0 = {CSF: 2600.0, GREY: 1250.0, WHITE: 1000.0}
# Diffusivities in mm^2/s. White matter: FA ~0.71 (1.6 : 0.4 : 0.4). Cortex: faintly radial.
_WM_AXIAL, _WM_RADIAL = 1.6e-3, 0.4e-3
_CORTEX_AXIAL, _CORTEX_RADIAL = 0.9e-3, 0.75e-3
_DEEP_GREY = 0.8e-3
_CSF_D = 3.0e-3



@dataclass(frozen=True)
class Phantom:
    """One generated acquisition and its truth.

    Attributes:
        data: int16 DWI, shape (nx, ny, nz, n_volumes), Fortran order (as NIfTI stores it).
        affine: 4 x 4 voxel-to-world matrix the image is meant to be written with.
        bvals: b-value per volume (s/mm^2); 0 for the b0 volumes.
        directions: (n_volumes, 3) unit gradient directions in the voxel frame; zero rows for b0.
        tissue: uint8 label per voxel: 0 background, 1 CSF, 2 grey matter, 3 white matter.
        tangent: float32 (nx, ny, nz, 3) unit fibre direction of the voxel's first bundle in the
            voxel frame; zero outside white matter. Its sign carries no meaning.
        n_fibres: uint8 number of bundles passing through each voxel (2 or more: a crossing).
        sigma: standard deviation of each of the two Gaussian channels of the Rician noise.
    """

    data: np.ndarray
    affine: np.ndarray
    bvals: np.ndarray
    directions: np.ndarray
    tissue: np.ndarray
    tangent: np.ndarray
    n_fibres: np.ndarray
    sigma: float

    @property
    def white_matter(self) -> np.ndarray:
        """Boolean mask of white-matter voxels crossed by exactly one bundle."""
        return (self.tissue == WHITE) & (self.n_fibres == 1)

    @property
    def head(self) -> np.ndarray:
        """Boolean mask of every voxel inside the head."""
        return self.tissue != BACKGROUND


# ------------------------------------------------------------------------------ affines, schemes


def _rotation(axis: int, degrees: float) -> np.ndarray:
    angle = np.deg2rad(degrees)
    c, s = np.cos(angle), np.sin(angle)
    i, j = [a for a in range(3) if a != axis]
    r = np.eye(3)
    r[i, i], r[i, j], r[j, i], r[j, j] = c, -s, s, c
    return r


def affine_preset(name: str, shape: Sequence[int], voxel_size: float = 2.0) -> np.ndarray:
    """A 4 x 4 affine placing the grid's centre at the world origin.

    ``"ras"``: diag(v, v, v), positive determinant; ``"las"``: diag(-v, v, v), negative
    determinant; ``"oblique"``: the RAS grid rotated by 18 degrees about x and then 15 degrees
    about z (positive determinant, voxel axes no longer along the world axes).
    """
    v = float(voxel_size)
    blocks = {
        "ras": np.diag([v, v, v]),
        "las": np.diag([-v, v, v]),
        "oblique": _rotation(2, 15.0) @ _rotation(0, 18.0) * v,
    }
    if name not in blocks:
        raise ValueError(f"unknown affine preset {name!r}: expected one of {sorted(blocks)}")
    affine = np.eye(4)
    affine[:3, :3] = blocks[name]
    centre = (np.asarray(shape[:3], dtype=np.float64) - 1.0) / 2.0
    affine[:3, 3] = -blocks[name] @ centre
    return affine


def shell_directions(n: int, rng: np.random.Generator, iterations: int = 150) -> np.ndarray:
    """``n`` well-spread unit directions: antipodally symmetric electrostatic repulsion.

    Starts from a Fibonacci hemisphere turned by a random rotation (so shells differ), then
    moves each point along the sphere away from every other point and every other point's
    antipode (Jones 1999). Signs are finally randomised, as scanner tables have them.
    """
    k = np.arange(n) + 0.5
    z = 1.0 - k / n
    radius = np.sqrt(1.0 - z * z)
    phi = k * np.pi * (3.0 - np.sqrt(5.0))
    points = np.stack([radius * np.cos(phi), radius * np.sin(phi), z], axis=1)
    q, _ = np.linalg.qr(rng.standard_normal((3, 3)))
    points = points @ q.T
    for step in np.geomspace(0.05, 0.002, iterations):
        force = np.zeros_like(points)
        for sign in (1.0, -1.0):
            diff = points[:, None, :] - sign * points[None, :, :]
            dist = np.linalg.norm(diff, axis=2)
            np.fill_diagonal(dist, np.inf)
            force += (diff / dist[:, :, None] ** 3).sum(axis=1)
        force -= (force * points).sum(axis=1, keepdims=True) * points
        points = points + step * force / np.abs(force).max()
        points /= np.linalg.norm(points, axis=1, keepdims=True)
    return points * rng.choice([-1.0, 1.0], size=(n, 1))


def _scheme(
    shells: Sequence[tuple[float, int]], n_b0: int, rng: np.random.Generator
) -> tuple[np.ndarray, np.ndarray]:
    weighted_b, weighted_g = [], []
    for b, count in shells:
        weighted_g.append(shell_directions(int(count), rng))
        weighted_b += [float(b)] * int(count)
    n_total = n_b0 + len(weighted_b)
    # b0 volumes spread through the run (first volume included), as drift correction wants.
    b0_at = {round(i * n_total / n_b0) for i in range(n_b0)} if n_b0 else set()
    directions = np.zeros((n_total, 3))
    bvals = np.zeros(n_total)
    g = np.concatenate(weighted_g) if weighted_g else np.zeros((0, 3))
    source = 0
    for v in range(n_total):
        if v not in b0_at:
            directions[v], bvals[v] = g[source], weighted_b[source]
            source += 1
    return directions, bvals


# ------------------------------------------------------------------------------- anatomy


@dataclass(frozen=True)
class _Bundle:
    """A tube around a curve that advances along one voxel axis.

    Along axis ``along`` the normalised parameter s = coordinate / semi-axis runs over
    [s_lo, s_hi]; each of the two other axes follows ``semi-axis * (c0 + c1 s + c2 s^2)``.
    """

    along: int
    s_lo: float
    s_hi: float
    others: dict[int, tuple[float, float, float]]
    radius: float  # fraction of the smallest semi-axis, capped at 40 mm


def _bundles() -> list[_Bundle]:
    bundles = [
        # U-shaped commissural fans in the horizontal plane, in front of and behind the arch,
        # bending forwards (backwards) into both hemispheres.
        _Bundle(0, -0.6, 0.6, {1: (0.3, 0.0, 0.8), 2: (0.2, 0.0, 0.0)}, 0.1),
        _Bundle(0, -0.6, 0.6, {1: (-0.35, 0.0, -0.8), 2: (0.1, 0.0, 0.0)}, 0.1),
    ]
    for side in (-1.0, 1.0):
        bundles += [
            # Vertical projection tract: converges towards the brainstem, leans forwards, fans
            # out at the top and passes through the arch on its way up (a crossing region).
            _Bundle(2, -0.85, 0.65, {0: (0.22 * side, 0.15 * side, 0.1 * side),
                                     1: (-0.05, 0.25, 0.0)}, 0.18),
            # Its neighbours in the fan, leaving the same capsule towards the front and back.
            _Bundle(2, -0.5, 0.6, {0: (0.25 * side, 0.2 * side, 0.1 * side),
                                   1: (0.1, 0.7, 0.2)}, 0.12),
            _Bundle(2, -0.5, 0.55, {0: (0.25 * side, 0.25 * side, 0.1 * side),
                                    1: (-0.15, -0.6, -0.2)}, 0.12),
            # An arcuate hook: a tight arc over the lateral fissure, front-back at its top.
            _Bundle(1, -0.55, 0.4, {0: (0.58 * side, 0.0, 0.0), 2: (0.0, 0.2, -0.9)}, 0.1),
            # Front-back: a cingulum-like bow above the arch, a lateral one at mid height that
            # narrows towards the front, a lower temporal one that dips forwards, and a steep
            # diagonal one from high at the back to low at the front.
            _Bundle(1, -0.65, 0.6, {0: (0.12 * side, 0.0, 0.0), 2: (0.52, 0.0, -0.45)}, 0.09),
            _Bundle(1, -0.7, 0.55, {0: (0.52 * side, -0.12 * side, 0.0),
                                    2: (0.12, 0.1, -0.3)}, 0.14),
            _Bundle(1, -0.8, 0.35, {0: (0.42 * side, 0.0, 0.0), 2: (-0.35, -0.25, 0.1)}, 0.12),
            _Bundle(1, -0.6, 0.55, {0: (0.33 * side, 0.1 * side, 0.0), 2: (0.0, -0.55, 0.0)}, 0.1),
        ]  # fmt: skip
    return bundles


@dataclass(frozen=True)
class _Anatomy:
    tissue: np.ndarray  # labels
    first: np.ndarray  # tangent of the first bundle through each voxel
    second: np.ndarray  # tangent of the second one, where two cross
    count: np.ndarray  # bundles through each voxel
    cortex: np.ndarray  # grey-matter ribbon under the CSF rim
    normal: np.ndarray  # outward normal of the head ellipsoid, the cortex's preferred axis


def _anatomy(shape: Sequence[int], voxel_size: float) -> _Anatomy:
    nx, ny, nz = (int(n) for n in shape[:3])
    # Head semi-axes in millimetres: a little longer front to back, as heads are.
    semi = (0.40 * nx * voxel_size, 0.45 * ny * voxel_size, 0.42 * nz * voxel_size)
    grid = np.meshgrid(
        *[((np.arange(n, dtype=np.float32) - (n - 1) / 2.0) * voxel_size) for n in (nx, ny, nz)],
        indexing="ij",
    )
    q = [grid[a] / np.float32(semi[a]) for a in range(3)]
    radius = np.sqrt(q[0] ** 2 + q[1] ** 2 + q[2] ** 2)
    # Bundle calibres scale with small heads but stop growing at adult size (a 40 mm semi-axis
    # gives a 7 mm projection tract): fat, straight tubes would hide a mirrored table, since
    # nothing in a uniform field tells a direction from its mirror image.
    smallest = min(*semi, 40.0)
    min_tube = 1.6 * voxel_size  # thinner tubes would vanish between voxel centres

    tissue = np.zeros((nx, ny, nz), dtype=np.uint8)
    tissue[radius <= 1.0] = CSF
    tissue[radius <= 0.92] = GREY
    brain = radius <= 0.82

    first = np.zeros((nx, ny, nz, 3), dtype=np.float32)
    second = np.zeros_like(first)
    count = np.zeros((nx, ny, nz), dtype=np.uint8)

    def add(member: np.ndarray, tangent: list[np.ndarray]) -> None:
        t = np.stack([np.broadcast_to(c, member.shape) for c in tangent], axis=-1)
        t = t / np.linalg.norm(t, axis=-1, keepdims=True)
        member = member & brain
        slot_first = member & (count == 0)
        slot_second = member & (count == 1)
        first[slot_first] = t[slot_first]
        second[slot_second] = t[slot_second]
        count[member] += 1

    # The arch: a circle in the x-z plane, a sheet extended front to back, crossing the midline.
    arch_centre = -0.1 * semi[2]
    arch_radius = 0.45 * min(semi[0], semi[2])
    dz = grid[2] - np.float32(arch_centre)
    rho = np.sqrt(grid[0] ** 2 + dz**2)
    theta = np.arctan2(dz, grid[0])
    member = (
        (np.abs(rho - arch_radius) <= max(0.12 * smallest, min_tube))
        & (theta >= np.deg2rad(15.0))
        & (theta <= np.deg2rad(165.0))
        & (np.abs(q[1]) <= 0.45)
    )
    add(member, [-np.sin(theta), np.zeros_like(theta), np.cos(theta)])

    for bundle in _bundles():
        s = q[bundle.along]
        offsets, tangent = [], [None, None, None]
        tangent[bundle.along] = np.ones_like(s)
        for axis, (c0, c1, c2) in bundle.others.items():
            centre = semi[axis] * (c0 + c1 * s + c2 * s * s)
            offsets.append(grid[axis] - centre)
            # d(coordinate on this axis) / d(coordinate along the curve), both in millimetres.
            tangent[axis] = (semi[axis] / semi[bundle.along]) * (c1 + 2.0 * c2 * s)
        distance = np.sqrt(offsets[0] ** 2 + offsets[1] ** 2)
        member = (
            (distance <= max(bundle.radius * smallest, min_tube))
            & (s >= bundle.s_lo)
            & (s <= bundle.s_hi)
        )
        add(member, tangent)

    tissue[count > 0] = WHITE
    # Lateral ventricles: CSF under the arch, carved out of everything else.
    for side in (-1.0, 1.0):
        ventricle = (
            ((q[0] - side * 0.1) / 0.06) ** 2
            + ((q[1] - 0.05) / 0.28) ** 2
            + ((q[2] - 0.05) / 0.1) ** 2
        ) <= 1.0
        tissue[ventricle] = CSF
    keep = tissue == WHITE
    first[~keep] = 0.0
    second[~keep] = 0.0
    count[~keep] = 0

    # The gradient of |q|^2 is normal to the ellipsoid's level sets.
    normal = np.stack([q[a] / np.float32(semi[a]) for a in range(3)], axis=-1)
    normal /= np.maximum(np.linalg.norm(normal, axis=-1, keepdims=True), np.float32(1e-12))
    cortex = (tissue == GREY) & ~brain
    return _Anatomy(tissue, first, second, count, cortex, normal)


def _prolate(axis: np.ndarray, axial: float, radial: float) -> np.ndarray:
    """Components (xx, yy, zz, xy, xz, yz) x n of radial*I + (axial-radial)*a a^T, a in rows."""
    t = axis.T.astype(np.float32)
    extra = np.float32(axial - radial)
    squares = radial + extra * t * t
    return np.stack([*squares, extra * t[0] * t[1], extra * t[0] * t[2], extra * t[1] * t[2]])


def _exponent(tensors: np.ndarray, g: np.ndarray, b: float) -> np.ndarray:
    """-b g^T D g for each column of a (6, n) tensor array, without BLAS.

    Six scaled row sums beat a (n, 6) @ (6,) product here: BLAS spins up threads for a
    product this thin, which costs more than the arithmetic on a busy machine.
    """
    weights = -b * np.array(
        [g[0] * g[0], g[1] * g[1], g[2] * g[2], 2 * g[0] * g[1], 2 * g[0] * g[2], 2 * g[1] * g[2]]
    )
    out = tensors[0] * np.float32(weights[0])
    for k in range(1, 6):
        out += tensors[k] * np.float32(weights[k])
    return out


def make_phantom(
    shape: Sequence[int] = (40, 40, 30),
    voxel_size: float = 2.0,
    affine: str | np.ndarray = "ras",
    shells: Sequence[tuple[float, int]] = ((1000.0, 32),),
    n_b0: int = 4,
    snr: float = 20.0,
    seed: int = 0,
) -> Phantom:
    """Generate a deterministic brain-like DWI with known fibre directions.

    Args:
        shape: grid (nx, ny, nz); x runs left-right, y back-front, z foot-head in the voxel frame.
        voxel_size: isotropic voxel size in millimetres (used by the presets and the anatomy).
        affine: "ras", "las", "oblique" (see :func:`affine_preset`) or a 4 x 4 array, whose
            columns should then be ``voxel_size`` long. The anatomy and the signal live in the
            voxel frame, so only the written tables and the header depend on it.
        shells: (b-value, number of directions) per diffusion-weighted shell.
        n_b0: number of b0 volumes, spread evenly through the run.
        snr: white-matter b0 signal over the noise standard deviation (Rician noise).
        seed: seeds every random choice (directions, noise); equal arguments give equal output.

    Volumes are generated one at a time in float32, so peak memory is the int16 output plus a
    few float32 volumes.
    """
    rng = np.random.default_rng(seed)
    matrix = (
        affine_preset(affine, shape, voxel_size)
        if isinstance(affine, str)
        else np.asarray(affine, dtype=np.float64)
    )
    if matrix.shape != (4, 4):
        raise ValueError(f"expected a 4 x 4 affine, got shape {matrix.shape}")
    directions, bvals = _scheme(shells, n_b0, rng)
    anatomy = _anatomy(shape, voxel_size)

    # Every head voxel has one compartment; where two bundles cross, a second one takes half
    # of the signal. The b0 signal s0 scales the sum.
    inside = np.flatnonzero(anatomy.tissue.ravel(order="F") != BACKGROUND)

    def pick(field: np.ndarray) -> np.ndarray:
        return field.reshape(-1, *field.shape[3:], order="F")[inside]

    label = pick(anatomy.tissue)
    s0 = np.zeros(inside.size, dtype=np.float32)
    for tissue_label, value in _S0.items():
        s0[label == tissue_label] = value
    tensor = np.zeros((6, inside.size), dtype=np.float32)
    wm = label == WHITE
    tensor[:, wm] = _prolate(pick(anatomy.first)[wm], _WM_AXIAL, _WM_RADIAL)
    cortex = pick(anatomy.cortex)
    tensor[:, cortex] = _prolate(pick(anatomy.normal)[cortex], _CORTEX_AXIAL, _CORTEX_RADIAL)
    tensor[:3, (label == GREY) & ~cortex] = _DEEP_GREY
    tensor[:3, label == CSF] = _CSF_D
    crossing = np.flatnonzero(wm & (pick(anatomy.count) >= 2))
    second = _prolate(pick(anatomy.second)[crossing], _WM_AXIAL, _WM_RADIAL)
    half = np.float32(0.5)

    sigma = _S0[WHITE] / float(snr)
    scale = np.float32(sigma)
    n_vox = int(np.prod(shape[:3]))
    data = np.empty((*(int(n) for n in shape[:3]), len(bvals)), dtype=np.int16, order="F")
    clean = np.zeros(n_vox, dtype=np.float32)
    for v, (g, b) in enumerate(zip(directions, bvals, strict=True)):
        signal = np.exp(_exponent(tensor, g, b))
        signal[crossing] = half * (signal[crossing] + np.exp(_exponent(second, g, b)))
        clean[inside] = s0 * signal
        # Rician magnitude: complex Gaussian noise on both channels, background included.
        real = clean + scale * rng.standard_normal(n_vox, dtype=np.float32)
        imag = scale * rng.standard_normal(n_vox, dtype=np.float32)
        magnitude = np.sqrt(real * real + imag * imag)
        np.clip(np.rint(magnitude), 0, np.iinfo(np.int16).max, out=magnitude)
        data[:, :, :, v] = magnitude.reshape(shape[:3], order="F")
    return Phantom(
        data=data,
        affine=matrix,
        bvals=bvals,
        directions=directions,
        tissue=anatomy.tissue,
        tangent=anatomy.first,
        n_fibres=anatomy.count,
        sigma=sigma,
    )
