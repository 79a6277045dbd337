"""Small synthetic DWIs with known fibre directions, shared by the image tests."""

import json
import math
import os

import nibabel as nib
import numpy as np

SHAPE = (14, 14, 6)


def hemisphere(n):
    out = []
    for k in range(n):
        z = 1.0 - (k + 0.5) / n
        r = math.sqrt(1.0 - z * z)
        phi = k * math.pi * (3.0 - math.sqrt(5.0))
        out.append((r * math.cos(phi), r * math.sin(phi), z))
    return np.array(out)


# Straight oblique bundles through an isotropic background. A wrong transform turns a bundle's
# directions away from its own axis, so the coherence probes leave the bundle.
BUNDLES = [((3.0, 3.0, 2.0), (1.0, 1.0, 0.3)), ((3.0, 11.0, 4.0), (1.0, -0.4, 0.6)),
           ((8.0, 7.0, 2.0), (0.2, 1.0, 0.8)), ((11.0, 2.0, 1.0), (-0.5, 0.7, 1.0))]


def fibre_field():
    """Unit bundle directions per voxel (zero outside every bundle)."""
    grid = np.stack(np.meshgrid(*(np.arange(n, dtype=float) for n in SHAPE), indexing="ij"), -1)
    field = np.zeros(SHAPE + (3,))
    for point, direction in BUNDLES:
        d = np.array(direction) / np.linalg.norm(direction)
        offset = grid - np.array(point)
        distance = np.linalg.norm(offset - (offset @ d)[..., None] * d, axis=-1)
        inside = (distance < 1.6) & ~field.any(axis=-1)
        field[inside] = d
    return field


def dwi(voxel_dirs, bvals, seed=1):
    """Tensor signal along the fibre field; `voxel_dirs` are the true directions in voxel axes."""
    e = fibre_field()
    rng = np.random.default_rng(seed)
    data = np.empty(SHAPE + (len(bvals),), np.float32)
    for k, (g, b) in enumerate(zip(voxel_dirs, bvals)):
        along = (e @ g) ** 2
        isotropic = ~e.any(axis=-1)
        adc = np.where(isotropic, 8e-4, 3e-4 + 1.4e-3 * along)
        signal = 1000.0 * np.exp(-b * adc)
        data[..., k] = signal + rng.normal(0, 5, SHAPE)
    return data


DIRS = np.vstack([np.zeros((2, 3)), hemisphere(30)])
BVALS = np.array([0.0, 0.0] + [1000.0] * 30)
# Tables that give a run each status: the true one, one mirrored in x (a recommended repair),
# and one whose directions are mostly not unit length (amplitude-encoded).
RUN_TABLES = {"PASS": DIRS, "FLAG": DIRS @ np.diag([-1.0, 1.0, 1.0]),
              "WARN": DIRS * np.where(np.arange(32) % 3 != 0, 0.5, 1.0)[:, None]}


def make_subject(folder, affine=None):
    """A DWI (two b0, 30 directions at b=1000) with the given affine, default diag(-2, 2, 2),
    whose FSL frame is the voxel frame, and its correct voxel-frame table."""
    affine = np.diag([-2.0, 2.0, 2.0, 1.0]) if affine is None else affine
    path = folder / "dwi.nii.gz"
    nib.save(nib.Nifti1Image(dwi(DIRS, BVALS), affine), path)
    return {"dwi": str(path), "dirs": DIRS, "bvals": BVALS, "folder": folder, "affine": affine}


def add_run(root, relative, image, kind="PASS"):
    """A BIDS run at `relative` (str or bytes, e.g. "sub-01/dwi/sub-01_dwi") with a copy of
    `image` and a status's table, or "broken" (a truncated image) or "untabled" (no table).
    Returns the image path."""
    base = os.path.join(os.fsencode(root), os.fsencode(relative))
    os.makedirs(os.path.dirname(base), exist_ok=True)
    with open(image, "rb") as f:
        data = f.read()
    with open(base + b".nii.gz", "wb") as f:
        f.write(data[: len(data) // 2] if kind == "broken" else data)
    if kind != "untabled":
        for suffix, rows, fmt in ((b".bvec", RUN_TABLES.get(kind, DIRS).T, "%.8f"),
                                  (b".bval", BVALS[None], "%g")):
            with open(base + suffix, "wb") as f:
                np.savetxt(f, rows, fmt=fmt)
    return os.fsdecode(base + b".nii.gz")


def write_fsl(folder, dirs, bvals, name="t"):
    bvec = folder / f"{name}.bvec"
    bval = folder / f"{name}.bval"
    np.savetxt(bvec, dirs.T, fmt="%.8f")
    np.savetxt(bval, bvals[None], fmt="%g")
    return str(bvec), str(bval)


def without_timestamp(text):
    """A report document without its one field that differs from run to run."""
    document = json.loads(text)
    document.pop("timestamp")
    return document
