"""What the confirmed verdict adds to an audit, measured in fresh processes as the CLI runs it.

    .venv/bin/python bench/confirm_speed.py [--folder DIR] [--repeats 3] [--hcp]

Each repeat is a fresh interpreter running one audit with the confirmed verdict; its stage
timings give the confirmed verdict's own time and the rest of the audit's in the same run. The
110 x 110 x 70 phantom has 102 volumes (6 b0, 32 at b=1000, 64 at b=2000); --hcp adds a
145 x 174 x 145 x 288 one (generated here; it takes minutes and about 1.2 GB of disk).
Goals: at most 0.10 of the audit on the first, 0.02 on the second.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from quorvex import phantom

CASES = {
    "110x110x70x102": ((110, 110, 70), ((1000.0, 32), (2000.0, 64)), 6, 0.10),
    "145x174x145x288": ((145, 174, 145), ((1000.0, 90), (2000.0, 90), (3000.0, 90)), 18, 0.02),
}
CHILD = """
import json, sys
from quorvex import _ext
report, confirmed, status, timings = _ext.audit_confirmed(sys.argv[1], bvec=sys.argv[2],
                                                          bval=sys.argv[3])
print(json.dumps({"timings": timings, "decision": json.loads(confirmed)["decision"]}))
"""


def prepare(folder: Path, name: str) -> tuple[Path, Path, Path]:
    shape, shells, n_b0, _ = CASES[name]
    dwi, bvec, bval = (folder / f"confirm_{name}{ext}" for ext in (".nii.gz", ".bvec", ".bval"))
    if not (dwi.exists() and bvec.exists() and bval.exists()):
        start = time.perf_counter()
        p = phantom.make_phantom(shape=shape, affine="las", shells=shells, n_b0=n_b0, snr=20.0)
        phantom.write_nifti(dwi, p.data, p.affine, compresslevel=6)
        phantom.write_fsl(bvec, bval, p)
        print(f"{name}: phantom written in {time.perf_counter() - start:.0f} s")
    return dwi, bvec, bval


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--folder", type=Path)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--hcp", action="store_true")
    args = parser.parse_args()
    names = list(CASES) if args.hcp else list(CASES)[:1]
    with tempfile.TemporaryDirectory() as scratch:
        folder = args.folder or Path(scratch)
        folder.mkdir(parents=True, exist_ok=True)
        failed = False
        for name in names:
            files = [str(p) for p in prepare(folder, name)]
            runs = []
            for _ in range(args.repeats):
                out = subprocess.run([sys.executable, "-c", CHILD, *files], check=True,
                                     capture_output=True, text=True).stdout
                runs.append(json.loads(out))
            ratios = [r["timings"]["confirm"] / (r["timings"]["total"] - r["timings"]["confirm"])
                      for r in runs]
            best = min(runs, key=lambda r: r["timings"]["total"])["timings"]
            goal = CASES[name][3]
            print(f"{name}: confirmed verdict {best['confirm']:.3f} s against the rest of the "
                  f"audit "
                  f"{best['total'] - best['confirm']:.3f} s; ratio median "
                  f"{sorted(ratios)[len(ratios) // 2]:.3f} (goal <= {goal}); decision "
                  f"{runs[0]['decision']}")
            failed |= sorted(ratios)[len(ratios) // 2] > goal
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
