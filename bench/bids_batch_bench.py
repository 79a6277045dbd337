"""audit_bids() on a generated dataset of 24 synthetic runs: time per run and the summary.

Six subjects with two sessions of two runs each. Some runs carry a brain mask (one of them also
a mask on another grid that must be passed over) and a sidecar; some have their table mirrored or
permuted (FLAG), some amplitude-encoded (WARN); a derivatives folder from an earlier tool is
already there.
"""

import collections
import json
import math
import shutil
import tempfile
import time
from pathlib import Path

import nibabel as nib
import numpy as np

import _quorvex

SHAPE = (32, 32, 16)
VOXEL_MM = 2.0


def hemisphere(n):
    k = np.arange(n) + 0.5
    z = 1.0 - k / n
    r = np.sqrt(1.0 - z * z)
    phi = np.arange(n) * math.pi * (3.0 - math.sqrt(5.0))
    return np.column_stack([r * np.cos(phi), r * np.sin(phi), z])


def fibre_field(rng):
    """Straight oblique bundles through an isotropic background; unit directions per voxel."""
    grid = np.stack(np.meshgrid(*(np.arange(n, dtype=float) for n in SHAPE), indexing="ij"), -1)
    field = np.zeros(SHAPE + (3,))
    for _ in range(8):
        point = rng.uniform(0, 1, 3) * np.array(SHAPE)
        d = rng.normal(size=3)
        d /= np.linalg.norm(d)
        offset = grid - point
        distance = np.linalg.norm(offset - (offset @ d)[..., None] * d, axis=-1)
        inside = (distance < 2.5) & ~field.any(axis=-1)
        field[inside] = d
    return field


def dwi(dirs, bvals, rng):
    e = fibre_field(rng)
    isotropic = ~e.any(axis=-1)
    data = np.empty(SHAPE + (len(bvals),), np.float32)
    for k, (g, b) in enumerate(zip(dirs, bvals)):
        adc = np.where(isotropic, 8e-4, 3e-4 + 1.4e-3 * (e @ g) ** 2)
        data[..., k] = 1000.0 * np.exp(-b * adc) + rng.normal(0, 5, SHAPE)
    return data


def build(root):
    rng = np.random.default_rng(7)
    dirs = np.vstack([np.zeros((3, 3)), hemisphere(32)])
    bvals = np.array([0.0] * 3 + [1000.0] * 32)
    affine = np.diag([-VOXEL_MM, VOXEL_MM, VOXEL_MM, 1.0])
    tables = {
        "true": dirs,
        "flip-x": dirs @ np.diag([-1.0, 1.0, 1.0]),
        "swap-xy": dirs[:, [1, 0, 2]],
        "amplitude": dirs * np.where(np.arange(len(dirs)) % 3 != 0, 0.5, 1.0)[:, None],
    }
    brain = np.zeros(SHAPE, np.uint8)
    brain[3:-3, 3:-3, 2:-2] = 1
    layout = []
    run = 0
    for s in range(1, 7):
        for session in (1, 2):
            for acq in ("a", "b"):
                folder = root / f"sub-{s:02d}" / f"ses-{session}" / "dwi"
                folder.mkdir(parents=True, exist_ok=True)
                base = folder / f"sub-{s:02d}_ses-{session}_acq-{acq}_dwi"
                kind = ["true", "true", "true", "flip-x", "true", "swap-xy", "true",
                        "amplitude"][run % 8]
                nib.save(nib.Nifti1Image(dwi(dirs, bvals, rng), affine), f"{base}.nii.gz")
                np.savetxt(f"{base}.bvec", tables[kind].T, fmt="%.6f")
                np.savetxt(f"{base}.bval", bvals[None], fmt="%g")
                if run % 3 == 0:
                    Path(f"{base}.json").write_text(json.dumps(
                        {"PhaseEncodingDirection": "j-", "TotalReadoutTime": 0.0512,
                         "MultibandAccelerationFactor": 3, "EchoTime": 0.089}))
                if acq == "a" and s % 2 == 0:
                    nib.save(nib.Nifti1Image(brain, affine),
                             folder / f"sub-{s:02d}_ses-{session}_desc-brain_mask.nii.gz")
                if s == 4 and session == 1 and acq == "a":
                    nib.save(nib.Nifti1Image(np.ones((8, 8, 8), np.uint8), np.eye(4)),
                             folder / "a_T1w_space_mask.nii.gz")
                layout.append(kind)
                run += 1
    # An earlier pipeline's outputs, including something that looks like a run.
    old = root / "derivatives" / "fmriprep" / "sub-01" / "dwi"
    old.mkdir(parents=True)
    shutil.copy(root / "sub-01/ses-1/dwi/sub-01_ses-1_acq-a_dwi.nii.gz", old / "sub-01_dwi.nii.gz")
    shutil.copy(root / "sub-01/ses-1/dwi/sub-01_ses-1_acq-a_dwi.bvec", old / "sub-01_dwi.bvec")
    shutil.copy(root / "sub-01/ses-1/dwi/sub-01_ses-1_acq-a_dwi.bval", old / "sub-01_dwi.bval")
    return layout


def main():
    with tempfile.TemporaryDirectory() as folder:
        root = Path(folder) / "dataset"
        layout = build(root)
        times = []
        for _ in range(3):
            start = time.perf_counter()
            text = _quorvex.audit_bids(str(root))
            times.append(time.perf_counter() - start)
        answer = json.loads(text)
        n = len(answer["results"])
        summary = json.loads(Path(answer["summary_path"]).read_text())
        print(f"audit_bids ({n} runs of {SHAPE[0]}x{SHAPE[1]}x{SHAPE[2]} voxels x 35 volumes, "
              f"best of 3)")
        print(f"  total {min(times):7.2f} s   per run {1e3 * min(times) / n:7.1f} ms")
        by_table = collections.defaultdict(collections.Counter)
        for kind, item in zip(layout, answer["results"]):
            by_table[kind][item["status"]] += 1
        for kind, counts in by_table.items():
            print(f"  {kind:10s} {dict(counts)}")
        print(f"  dataset status {summary['status']}, exit code {answer['exit_code']}, "
              f"n_datasets {summary['n_datasets']}")


if __name__ == "__main__":
    main()
