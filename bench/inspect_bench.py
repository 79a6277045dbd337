"""inspect() on a 3-shell scheme with 300 directions per shell (900 non-b0 volumes)."""

import math
import statistics
import tempfile
import time
import tracemalloc
from pathlib import Path

import _quorvex


def sphere(n, seed):
    out = []
    for k in range(n):
        z = 1.0 - 2.0 * (k + 0.5) / n
        r = math.sqrt(1.0 - z * z)
        phi = k * math.pi * (3.0 - math.sqrt(5.0)) + seed
        out.append((r * math.cos(phi), r * math.sin(phi), z))
    return out


def main():
    dirs = [(0.0, 0.0, 0.0)] * 10
    bvals = [0.0] * 10
    for shell, b in enumerate((1000, 2000, 3000)):
        dirs += sphere(300, shell * 0.3)
        bvals += [b] * 300
    with tempfile.TemporaryDirectory() as folder:
        bvec = Path(folder) / "t.bvec"
        bval = Path(folder) / "t.bval"
        bvec.write_text("\n".join(" ".join(f"{d[k]:.6f}" for d in dirs) for k in range(3)) + "\n")
        bval.write_text(" ".join(str(b) for b in bvals) + "\n")
        times = []
        for _ in range(20):
            start = time.perf_counter()
            _quorvex.inspect(str(bvec), str(bval))
            times.append((time.perf_counter() - start) * 1e3)
        tracemalloc.start()
        text = _quorvex.inspect(str(bvec), str(bval))
        _, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
    print(f"inspect (3 shells x 300 directions, {len(bvals)} volumes): "
          f"median {statistics.median(times):.2f} ms, best {min(times):.2f} ms; "
          f"report {len(text) / 1024:.0f} KiB, Python-side peak {peak / 1024:.0f} KiB")


if __name__ == "__main__":
    main()
