"""Accuracy of the confirmed flip verdict beside the coherence one, on three kinds of data.

1. Every real dataset in ../shared/data/real without a mask: the shipped table and the table
   times each of 8 signed permutations. Right = PASS on the shipped table, FLAG naming the
   inverse (up to sign) otherwise.
2. Phantoms (quorvex.phantom) across SNR and direction counts: the correct table and two
   corruptions each.
3. Null fields: smooth random direction fields with no anatomy, where any decisive answer is
   false.

    .venv/bin/python bench/confirm_accuracy.py [--nulls 120] [--quick]

Exit status 1 when the confirmed verdict is ever decisive and wrong.
"""

from __future__ import annotations

import argparse
import json
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path

import numpy as np

from quorvex import _ext, phantom

REAL = Path(__file__).resolve().parents[1].parent / "shared" / "data" / "real"
PERMUTATIONS = ("-x+y+z", "+x-y+z", "+x+y-z", "-x-y+z", "+y+x+z", "+z+y+x", "+x+z+y", "+y+z+x")
PHANTOM_CASES = ((10, 6), (10, 30), (10, 180), (20, 12), (20, 64), (40, 6), (40, 180), (30, 30))
PHANTOM_CORRUPTIONS = ("-x+y+z", "+y+x+z")


def verdicts(dwi: Path, bvec: Path, bval: Path) -> tuple[dict, dict]:
    report, confirmed, _, _ = _ext.audit_confirmed(
        dwi=str(dwi), bvec=str(bvec), bval=str(bval), detect_only=True
    )
    return json.loads(report)["flip"], json.loads(confirmed)


def outcome(decision: str, matrix, corruption: np.ndarray) -> str:
    """'right', 'WARN' or 'wrong' for a decision against a known corruption."""
    if decision == "WARN":
        return "WARN"
    if decision == "PASS":
        return "right" if np.array_equal(np.abs(corruption), np.eye(3)) and (
            np.all(np.diag(corruption) > 0) or np.all(np.diag(corruption) < 0)
        ) else "wrong"
    repair = np.asarray(matrix, dtype=np.float64)
    right = np.allclose(repair, corruption.T) or np.allclose(repair, -corruption.T)
    return "right" if right else "wrong"


def real_data(folder: Path) -> tuple[Counter, Counter, list[str]]:
    confirmed_counts, coherence_counts, lines = Counter(), Counter(), []
    for d in sorted(p for p in REAL.iterdir() if p.is_dir()):
        name = d.name
        dwi, bvec, bval = d / f"{name}_dwi.nii.gz", d / f"{name}_dwi.bvec", d / f"{name}_dwi.bval"
        table = np.loadtxt(bvec)
        for label in ("+x+y+z", *PERMUTATIONS):
            m = phantom.candidate_matrix(label)
            corrupted = folder / f"{name}.bvec"
            np.savetxt(corrupted, m @ table, fmt="%.8f")
            flip, conf = verdicts(dwi, corrupted, bval)
            a = outcome(conf["decision"], conf.get("recommended_transform"), m)
            b = outcome(flip["decision"], flip["best"]["matrix"], m)
            confirmed_counts[a] += 1
            coherence_counts[b] += 1
            lines.append(
                f"  {name:26s} {label}  confirmed {conf['decision']} {conf['best']['label']} "
                f"gap {conf['relative_gap']:.3f} boot {conf['bootstrap_gap_5']:.3f} half "
                f"{conf['worst_half_gap']:.3f} -> {a:5s} | coherence {flip['decision']} "
                f"{flip['best']['label']} -> {b}"
            )
    return confirmed_counts, coherence_counts, lines


def phantoms(folder: Path, shape: tuple[int, int, int]) -> tuple[Counter, list[float], list[str]]:
    counts, gaps, lines = Counter(), [], []
    for snr, dirs in PHANTOM_CASES:
        p = phantom.make_phantom(shape=shape, affine="las", shells=((1000.0, dirs),), n_b0=2,
                                 snr=snr, seed=dirs + snr)
        dwi = folder / "p.nii.gz"
        phantom.write_nifti(dwi, p.data, p.affine, compresslevel=1)
        for label in ("+x+y+z", *PHANTOM_CORRUPTIONS):
            bvec, bval = folder / "p.bvec", folder / "p.bval"
            phantom.write_fsl(bvec, bval, p, corruption=None if label == "+x+y+z" else label)
            _, conf = verdicts(dwi, bvec, bval)
            result = outcome(conf["decision"], conf.get("recommended_transform"),
                             phantom.candidate_matrix(label))
            counts[result] += 1
            gaps.append(conf["relative_gap"])
            lines.append(f"  SNR {snr:>2} dirs {dirs:>3} {label}: {conf['decision']} "
                         f"gap {conf['relative_gap']:.3f} -> {result}")
    return counts, gaps, lines


def smooth_field(rng: np.random.Generator, shape: tuple[int, int, int], sigma: float) -> np.ndarray:
    """Unit vectors of three Gaussian-smoothed white-noise fields (FFT filter), per voxel."""
    freqs = np.meshgrid(*(np.fft.fftfreq(n) for n in shape), indexing="ij")
    kernel = np.exp(-2 * (np.pi * sigma) ** 2 * sum(f * f for f in freqs))
    v = np.stack([np.real(np.fft.ifftn(np.fft.fftn(rng.standard_normal(shape)) * kernel))
                  for _ in range(3)], axis=-1)
    return v / np.linalg.norm(v, axis=-1, keepdims=True)


def null_fields(folder: Path, n: int) -> tuple[Counter, float]:
    shape = (32, 32, 24)
    counts, worst = Counter(), 0.0
    scheme = phantom.shell_directions(30, np.random.default_rng(0))
    for k in range(n):
        rng = np.random.default_rng(1000 + k)
        axis = smooth_field(rng, shape, sigma=rng.uniform(1.5, 4.0)).reshape(-1, 3)
        lam1, lam2 = 1.7e-3, 0.3e-3
        volumes = [np.full(axis.shape[0], 1000.0)]
        for g in scheme:
            dot = axis @ g
            volumes.append(1000.0 * np.exp(-1000.0 * (lam2 + (lam1 - lam2) * dot * dot)))
        signal = np.stack(volumes, axis=-1) + rng.normal(0, 1000.0 / 30, (axis.shape[0], 31))
        data = np.clip(np.abs(signal), 0, 32767).astype(np.int16).reshape(*shape, 31)
        affine = np.diag([2.0, 2.0, 2.0, 1.0])
        dwi, bvec, bval = folder / "n.nii.gz", folder / "n.bvec", folder / "n.bval"
        phantom.write_nifti(dwi, data, affine, compresslevel=1)
        np.savetxt(bvec, np.column_stack([np.zeros(3), scheme.T]), fmt="%.8f")
        bval.write_text(" ".join(["0"] + ["1000"] * 30) + "\n")
        _, conf = verdicts(dwi, bvec, bval)
        counts["decisive" if conf["decision"] != "WARN" else "WARN"] += 1
        worst = max(worst, conf["relative_gap"])
    return counts, worst


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nulls", type=int, default=120)
    parser.add_argument("--quick", action="store_true", help="smaller phantoms")
    args = parser.parse_args()
    wrong = 0
    with tempfile.TemporaryDirectory() as name:
        folder = Path(name)
        if REAL.is_dir():
            start = time.perf_counter()
            confirmed, coherence, lines = real_data(folder)
            print(f"real data, 9 sets x 9 tables ({time.perf_counter() - start:.1f} s)")
            print("\n".join(lines))
            for title, c in (("confirmed", confirmed), ("coherence", coherence)):
                print(f"  {title}: {c['right']} decisive and right, {c['WARN']} WARN, "
                      f"{c['wrong']} wrong")
            wrong += confirmed["wrong"]
        else:
            print(f"real data: skipped ({REAL} not found)")
        start = time.perf_counter()
        shape = (40, 40, 30) if args.quick else (60, 60, 40)
        counts, gaps, lines = phantoms(folder, shape)
        seconds = time.perf_counter() - start
        print(f"\nphantoms {shape}, SNR 10-40, 6-180 directions ({seconds:.1f} s)")
        print("\n".join(lines))
        print(f"  {counts['right']} decisive and right, {counts['WARN']} WARN, {counts['wrong']} "
              f"wrong; smallest relative gap {min(gaps):.3f} (goal >= 0.15)")
        wrong += counts["wrong"]
        start = time.perf_counter()
        counts, worst = null_fields(folder, args.nulls)
        print(f"\nnull fields: {args.nulls} smooth random direction fields "
              f"({time.perf_counter() - start:.1f} s)")
        print(f"  {counts['decisive']} decisive (goal 0), {counts['WARN']} WARN; largest relative "
              f"gap {worst:.3f}")
        wrong += counts["decisive"]
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
