"""Flip-detection accuracy on phantoms: the correct table and each of the 47 corrupted ones.

Three cases cover the frame rules: an FSL table on a positive-determinant (RAS) image, an FSL
table on a negative-determinant (LAS) image, and an MRtrix table on an oblique image. Each table
is corrupted by candidate M in the frame of its own file, so the repair the detector should name
is M's inverse, M.T, or its antipode -M.T (the report's matrices act on the directions as read).

The log-linear tensor fit is equivariant under a signed permutation of the table, so candidate C
on a table corrupted by M scores what C @ M scores on the correct table: in exact arithmetic all
47 corruptions share the correct table's relative margin, and any spread between them comes from
rounding. The phantom's margin is therefore what decides between FLAG and WARN.

    .venv/bin/python bench/flip_accuracy.py [--shape 60 60 40] [--snr 20] [--seed 0]

Exit status 1 when any answer is confidently wrong: FLAG with a wrong repair, or FLAG on a
table that needs none.
"""

from __future__ import annotations

import argparse
import json
import sys
import tempfile
import time
from collections import Counter
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from quorvex import phantom

CASES = (
    ("FSL bvec, RAS affine (det > 0)", "ras", "fsl"),
    ("FSL bvec, LAS affine (det < 0)", "las", "fsl"),
    ("MRtrix grad, oblique affine", "oblique", "mrtrix"),
)

# Outcomes, in the order of the summary columns.
RIGHT_FLAG = "FLAG, right repair"
RIGHT_PASS = "PASS, table equivalent"  # the corruption -x-y-z only flips every sign
WARN_RIGHT = "WARN, best right"
WARN_WRONG = "WARN, best wrong"
WRONG_FLAG = "FLAG, wrong repair"
MISSED = "PASS, corruption missed"
OUTCOMES = (RIGHT_FLAG, RIGHT_PASS, WARN_RIGHT, WARN_WRONG, WRONG_FLAG, MISSED)
DEFECTS = (WRONG_FLAG, MISSED)


@dataclass
class Trial:
    corruption: str
    decision: str
    best: str
    runner_up: str
    relative_margin: float
    outcome: str


def audit_flip(folder: Path, dwi: Path, p: phantom.Phantom, table: str, label: str) -> dict:
    """Write the (corrupted) table in the case's format and return the report's flip section."""
    import _quorvex  # imported late so --dry-run works on a build without image support

    if table == "fsl":
        bvec, bval = folder / "dwi.bvec", folder / "dwi.bval"
        phantom.write_fsl(bvec, bval, p, corruption=label)
        text = _quorvex.audit(dwi=str(dwi), bvec=str(bvec), bval=str(bval))
    else:
        grad = folder / "dwi.b"
        phantom.write_mrtrix(grad, p, corruption=label)
        text = _quorvex.audit(dwi=str(dwi), grad=str(grad))
    return json.loads(text)["flip"]


def classify(flip: dict, corruption: np.ndarray) -> str:
    best = np.asarray(flip["best"]["matrix"], dtype=np.float64)
    repair = corruption.T
    right = np.array_equal(best, repair) or np.array_equal(best, -repair)
    equivalent = np.array_equal(np.abs(corruption), np.eye(3)) and np.all(np.diag(corruption) < 0)
    decision = flip["decision"]
    if decision == "PASS":
        return RIGHT_PASS if right and equivalent else MISSED
    if decision == "WARN":
        return WARN_RIGHT if right else WARN_WRONG
    return RIGHT_FLAG if right else WRONG_FLAG


def run_case(args: argparse.Namespace, preset: str, table: str) -> tuple[dict, list[Trial]]:
    p = phantom.make_phantom(
        shape=tuple(args.shape),
        affine=preset,
        shells=((1000.0, args.dirs),),
        n_b0=args.b0,
        snr=args.snr,
        seed=args.seed,
    )
    with tempfile.TemporaryDirectory() as name:
        folder = Path(name)
        dwi = folder / "dwi.nii.gz"
        phantom.write_nifti(dwi, p.data, p.affine, compresslevel=1)
        if args.dry_run:
            for label, _ in phantom.candidates():
                if table == "fsl":
                    phantom.write_fsl(folder / "t.bvec", folder / "t.bval", p, corruption=label)
                else:
                    phantom.write_mrtrix(folder / "t.b", p, corruption=label)
            return {}, []
        clean = audit_flip(folder, dwi, p, table, "+x+y+z")
        trials = []
        for label, matrix in phantom.candidates()[1:]:
            flip = audit_flip(folder, dwi, p, table, label)
            trials.append(
                Trial(
                    corruption=label,
                    decision=flip["decision"],
                    best=flip["best"]["label"],
                    runner_up=flip["runner_up"]["label"],
                    relative_margin=flip["relative_margin"],
                    outcome=classify(flip, matrix),
                )
            )
    return clean, trials


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--shape", type=int, nargs=3, default=[60, 60, 40])
    parser.add_argument("--snr", type=float, default=20.0)
    parser.add_argument("--dirs", type=int, default=32, help="directions of the b=1000 shell")
    parser.add_argument("--b0", type=int, default=4, help="number of b0 volumes")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument(
        "--dry-run", action="store_true", help="generate and write every input, audit nothing"
    )
    args = parser.parse_args()

    print(
        f"phantom {'x'.join(map(str, args.shape))}, b=1000 x {args.dirs} + {args.b0} b0, "
        f"SNR {args.snr:g}, seed {args.seed}"
    )
    defects = 0
    rows = []
    for title, preset, table in CASES:
        start = time.perf_counter()
        clean, trials = run_case(args, preset, table)
        seconds = time.perf_counter() - start
        if args.dry_run:
            print(f"{title}: generated and wrote 48 tables in {seconds:.1f} s")
            continue
        counts = Counter(t.outcome for t in trials)
        clean_ok = clean["decision"] == "PASS"
        defects += (not clean_ok and clean["decision"] == "FLAG") + sum(counts[d] for d in DEFECTS)
        rows.append((title, clean, counts))
        print(f"\n{title}  ({seconds:.1f} s)")
        print(
            f"  correct table: {clean['decision']}, best {clean['best']['label']}, "
            f"runner-up {clean['runner_up']['label']}, relative margin "
            f"{clean['relative_margin']:.4f}, {clean['n_wm_voxels']} WM voxels, "
            f"mean FA {clean['mask_mean_fa']:.3f}"
        )
        margins = [t.relative_margin for t in trials if t.corruption != "-x-y-z"]
        print(
            f"  relative margin over the 46 that need a repair: min {min(margins):.4f}, "
            f"median {float(np.median(margins)):.4f}, max {max(margins):.4f}"
        )
        for t in trials:
            if t.outcome not in (RIGHT_FLAG, RIGHT_PASS):
                print(
                    f"  {t.corruption}: {t.outcome} ({t.decision}, best {t.best}, "
                    f"runner-up {t.runner_up}, relative margin {t.relative_margin:.4f})"
                )
    if args.dry_run:
        return 0

    width = max(len(r[0]) for r in rows)
    short = ("FLAG ok", "PASS eq", "WARN ok", "WARN bad", "FLAG bad", "missed")
    print(f"\n{'case':<{width}}  clean  " + "  ".join(f"{s:>8}" for s in short))
    for title, clean, counts in rows:
        print(
            f"{title:<{width}}  {clean['decision']:<5}  "
            + "  ".join(f"{counts[o]:>8}" for o in OUTCOMES)
        )
    print(
        "\nOut of 47 corruptions: FLAG ok = FLAG naming the inverse (up to sign); PASS eq = the "
        "corruption -x-y-z,\nwhich only negates every direction and needs no repair; WARN ok/bad "
        "= margin below 0.02 with\nthe best right or wrong; FLAG bad and missed are confident "
        "wrong answers."
    )
    return 1 if defects else 0


if __name__ == "__main__":
    sys.exit(main())
