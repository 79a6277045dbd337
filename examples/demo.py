"""The built-in example: a phantom acquisition whose gradient table has its x axis mirrored.

It generates the phantom into a scratch folder, audits it (the verdict is FLAG and the tool
prints the repair command), repairs the table with a provenance sidecar, and audits the
repaired table (PASS). Every step is the command-line tool a user would type.
"""

import shlex
import sys
import tempfile
import time
from pathlib import Path

from quorvex import cli, phantom


def run(*words: str) -> int:
    shown = ["quorvex", *(Path(w).name if "/" in w else w for w in words)]
    print(f"\n$ {shlex.join(shown)}", flush=True)
    code = cli.main(list(words))
    print(f"(exit {code})", flush=True)
    return code


def main() -> int:
    start = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="quorvex-demo-") as name:
        folder = Path(name)
        print("Generating a 60x60x40 phantom (two shells, 4 b0) with its x axis mirrored "
              "in the bvec file...")
        p = phantom.make_phantom(shape=(60, 60, 40), affine="ras",
                                 shells=((1000.0, 32), (2000.0, 32)), n_b0=4, snr=20.0, seed=1)
        dwi, bvec, bval = (str(folder / f"sub-01_dwi.{ext}") for ext in ("nii.gz", "bvec", "bval"))
        phantom.write_nifti(dwi, p.data, p.affine)
        phantom.write_fsl(bvec, bval, p, corruption="-x+y+z")
        fixed_bvec, fixed_bval = (str(folder / f"sub-01_dwi_fixed.{e}") for e in ("bvec", "bval"))
        provenance = str(folder / "sub-01_dwi_fixed.json")

        codes = [
            run("audit", dwi, "--bvec", bvec, "--bval", bval),
            run("repair", dwi, "--bvec", bvec, "--bval", bval, "--out-bvec", fixed_bvec,
                "--out-bval", fixed_bval, "--provenance", provenance),
            run("audit", dwi, "--bvec", fixed_bvec, "--bval", fixed_bval),
        ]
        print(f"\nProvenance sidecar: {Path(provenance).name} "
              f"({Path(provenance).stat().st_size} bytes, inputs hashed with SHA-256)")
    print(f"Done in {time.perf_counter() - start:.1f} s.")
    # FLAG (4) on the mirrored table, then a written repair and a PASS.
    return 0 if codes == [4, 0, 0] else 1


if __name__ == "__main__":
    sys.exit(main())
