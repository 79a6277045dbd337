"""Memory and time of inputs whose unused parts used to cost the most: a 40 MB BIDS sidecar, a
table of 3,000 copies of one direction, and a 100,000-direction shell.

    .venv/bin/python bench/bounded_work_bench.py [--site DIR] [--skip-large]

Each case runs in a fresh interpreter, so its peak resident memory is its own; the
interpreter's peak just after importing the module is reported beside it. --site puts
another build of the module first on the path (an older one, to compare); --skip-large leaves
out the 100,000-direction shell, whose pair loops take the longest.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import numpy as np

CASE = textwrap.dedent("""
    import json, sys, time
    if sys.argv[1]:
        sys.path.insert(0, sys.argv[1])
    import _quorvex
    def high_water_kib():
        # This process's own peak (the rusage figure would include the parent's, from fork).
        with open("/proc/self/status") as f:
            return next(int(l.split()[1]) for l in f if l.startswith("VmHWM:"))
    base = high_water_kib()
    kind, args = sys.argv[2], json.loads(sys.argv[3])
    start = time.perf_counter()
    if kind == "bids":
        out = _quorvex.audit_bids(**args)
    else:
        out = _quorvex.inspect(**args)
    seconds = time.perf_counter() - start
    peak = high_water_kib()
    print(json.dumps({"seconds": round(seconds, 3), "peak_mib": round(peak / 1024, 1),
                      "after_import_mib": round(base / 1024, 1), "answer_bytes": len(out)}))
""")


def write_table(folder: Path, name: str, dirs: np.ndarray, b: float) -> dict[str, str]:
    bvec, bval = folder / f"{name}.bvec", folder / f"{name}.bval"
    np.savetxt(bvec, dirs.T, fmt="%.6f")
    np.savetxt(bval, np.full((1, len(dirs)), b), fmt="%g")
    return {"bvec": str(bvec), "bval": str(bval)}


def sidecar_dataset(folder: Path) -> dict[str, str]:
    """One small run whose sidecar holds three used keys and a 40 MB array."""
    import nibabel as nib

    run = folder / "ds" / "sub-01" / "dwi"
    run.mkdir(parents=True)
    rng = np.random.default_rng(0)
    dirs = rng.normal(size=(12, 3))
    dirs /= np.linalg.norm(dirs, axis=1)[:, None]
    table = np.vstack([np.zeros((1, 3)), dirs])
    data = rng.uniform(100, 200, size=(6, 6, 4, 13)).astype(np.float32)
    nib.save(nib.Nifti1Image(data, np.eye(4)), run / "sub-01_dwi.nii.gz")
    np.savetxt(run / "sub-01_dwi.bvec", table.T, fmt="%.6f")
    np.savetxt(run / "sub-01_dwi.bval", [[0] + [1000] * 12], fmt="%g")
    timings = ",".join(["0"] * (40_000_000 // 2))
    (run / "sub-01_dwi.json").write_text(
        '{"PhaseEncodingDirection": "j-", "TotalReadoutTime": 0.05, '
        f'"MultibandAccelerationFactor": 3, "Unused": [{timings}]}}')
    return {"root": str(folder / "ds")}


def run_case(site: str, kind: str, args: dict[str, str]) -> dict[str, float]:
    done = subprocess.run([sys.executable, "-c", CASE, site, kind, json.dumps(args)],
                          capture_output=True, text=True)
    if done.returncode != 0:
        return {"failed": done.stderr.strip().splitlines()[-1] if done.stderr else "killed"}
    return json.loads(done.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--site", default="", help="a folder holding another build of _quorvex")
    parser.add_argument("--skip-large", action="store_true")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        rng = np.random.default_rng(1)
        spread = rng.normal(size=(100_000, 3))
        spread /= np.linalg.norm(spread, axis=1)[:, None]
        cases = [
            ("40 MB sidecar (dataset audit)", "bids", sidecar_dataset(folder)),
            ("3,000 copies of one direction", "inspect",
             write_table(folder, "copies", np.tile([[0.0, 0.0, 1.0]], (3000, 1)), 1000.0)),
        ]
        if not options.skip_large:
            cases.append(("100,000 directions, one shell", "inspect",
                          write_table(folder, "spread", spread, 1000.0)))
        for label, kind, args in cases:
            print(f"{label}: {json.dumps(run_case(options.site, kind, args))}", flush=True)


if __name__ == "__main__":
    main()
