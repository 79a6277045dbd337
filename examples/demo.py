"""The built-in example: audit a two-shell gradient scheme that has a few typical faults.

The table is written to a temporary folder (FSL bvec/bval), then audited with quorvex.inspect.
"""

import json
import math
import tempfile
from pathlib import Path

import quorvex


def hemisphere(n: int) -> list[tuple[float, float, float]]:
    """n well-spread unit directions (a golden-angle spiral over one hemisphere)."""
    out = []
    for k in range(n):
        z = 1.0 - (k + 0.5) / n
        r = math.sqrt(1.0 - z * z)
        phi = k * math.pi * (3.0 - math.sqrt(5.0))
        out.append((r * math.cos(phi), r * math.sin(phi), z))
    return out


def write_pair(folder: Path) -> tuple[str, str]:
    dirs = [(0.0, 0.0, 0.0)] + hemisphere(32) + hemisphere(20)
    bvals = [0.0] + [1000.0] * 32 + [2000.0] * 20
    # A repeated direction and a ramp-sampled b-value, as scanners sometimes produce.
    dirs[40] = dirs[35]
    bvals[12] = 1003.7
    bvec = folder / "demo_dwi.bvec"
    bval = folder / "demo_dwi.bval"
    bvec.write_text("\n".join(" ".join(f"{d[k]:.6f}" for d in dirs) for k in range(3)) + "\n")
    bval.write_text(" ".join(f"{b:g}" for b in bvals) + "\n")
    return str(bvec), str(bval)


def main() -> None:
    print(f"quorvex {quorvex.version()}: scheme audit of a built-in example table")
    with tempfile.TemporaryDirectory() as folder:
        bvec, bval = write_pair(Path(folder))
        report = json.loads(quorvex.inspect(bvec=bvec, bval=bval))
    print(f"status: {report['status']}")
    for shell in report["shells"]["shells"]:
        kind = "b0" if shell["is_b0"] else f"b={shell['nominal_b']:.0f}"
        print(f"  shell {kind:>7}: {shell['count']:3d} volumes")
    for shell in report["angular"]["shells"]:
        kappa = shell["condition_number"]
        print(f"  b={shell['nominal_b']:.0f}: energy {shell['electrostatic_energy']:.1f}, "
              f"condition number {kappa:.2f}, {len(shell['duplicates'])} duplicate pair(s)")
    print("notes:")
    for note in report["notes"]:
        print(f"  - {note}")


if __name__ == "__main__":
    main()
