"""audit_dataset() over local processes and a local Dask cluster against audit_bids().

The dataset is the 24-run one of bids_batch_bench.py. audit_bids() audits the runs one after
another with the voxel loops on every core; the parallel driver gives each of its worker
processes one run at a time and its share of the cores. Every parallel answer is checked against
audit_bids()'s, and so are the files (report time stamps aside).
"""

import argparse
import re
import shutil
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from bids_batch_bench import build  # noqa: E402

import _quorvex  # noqa: E402
from quorvex import bids  # noqa: E402


def outputs(root):
    folder = root / "derivatives" / "quorvex"
    return {p.name: re.sub(r'\n  "timestamp": "[^"]*",', "", p.read_text())
            for p in sorted(folder.iterdir())}


def best_of(repeats, root, call):
    times = []
    answer = None
    for _ in range(repeats):
        shutil.rmtree(root / "derivatives" / "quorvex", ignore_errors=True)
        start = time.perf_counter()
        answer = call()
        times.append(time.perf_counter() - start)
    return min(times), answer


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--no-dask", action="store_true")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        root = Path(folder) / "dataset"
        build(root)
        sequential, answer = best_of(args.repeats, root, lambda: _quorvex.audit_bids(str(root)))
        expected = outputs(root)
        n = len(expected) - 1
        print(f"{n} runs, {bids.available_cores()} cores, best of {args.repeats}")
        print(f"  audit_bids (sequential)          {sequential:7.2f} s")

        def check(label, seconds, got):
            assert got == answer, f"{label}: answer differs from audit_bids"
            assert outputs(root) == expected, f"{label}: files differ from audit_bids"
            print(f"  {label:32s} {seconds:7.2f} s   speed-up {sequential / seconds:4.2f}x")

        # The pool is started inside the timing: a user of --jobs pays for it too.
        def with_pool():
            with bids.process_pool(args.jobs) as pool:
                return bids.audit_dataset(str(root), executor=pool, progress=False)

        seconds, got = best_of(args.repeats, root, with_pool)
        check(f"--jobs {args.jobs} (new pool per run)", seconds, got)

        with bids.process_pool(args.jobs) as pool:
            bids.audit_dataset(str(root), executor=pool, progress=False)  # warm the workers
            seconds, got = best_of(args.repeats, root, lambda: bids.audit_dataset(
                str(root), executor=pool, progress=False))
        check(f"--jobs {args.jobs} (warm pool)", seconds, got)

        if args.no_dask:
            return
        import distributed

        start = time.perf_counter()
        with distributed.LocalCluster(n_workers=args.jobs, threads_per_worker=1, processes=True,
                                      host="127.0.0.1", dashboard_address=None) as cluster, \
                distributed.Client(cluster) as client:
            print(f"  (Dask LocalCluster started in {time.perf_counter() - start:.2f} s)")
            executor = client.get_executor()
            bids.audit_dataset(str(root), executor=executor, progress=False)  # warm the workers
            seconds, got = best_of(args.repeats, root, lambda: bids.audit_dataset(
                str(root), executor=executor, progress=False))
            check(f"Dask LocalCluster, {args.jobs} workers", seconds, got)


if __name__ == "__main__":
    main()
