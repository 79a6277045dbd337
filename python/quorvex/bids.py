"""Dataset audits spread over an executor: the runs of ``audit_bids`` as independent tasks.

``audit_bids`` audits one run after another on the calling thread. ``audit_dataset`` does the
same work through the same core steps (discovery, one audit per run, the summary), but hands
each run to a ``concurrent.futures.Executor``: local processes by default, or a Dask
``Client.get_executor()`` (or any other executor) to reach a cluster. The report files, the
dataset summary and the answer document are those ``audit_bids`` writes and returns.
"""

from __future__ import annotations

import inspect
import multiprocessing
import os
import sys
from collections.abc import Sequence
from concurrent.futures import Executor, Future, ProcessPoolExecutor, as_completed
from typing import Any

from quorvex import _ext

__all__ = ["audit_dataset", "process_pool", "available_cores"]

# One discovered run as ``_ext.discover`` gives it: (dwi, bvec, bval, masks, sidecar).
Entry = tuple[str, str, str, tuple[str, ...], "str | None"]


# The option names come from the module's own parameter table, so they cannot drift from it.
_OPTION_NAMES = frozenset(inspect.signature(_ext.check_options).parameters)


def available_cores() -> int:
    """The processors this process may run on (its affinity, not the machine's count)."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:
        return os.cpu_count() or 1


def process_pool(max_workers: int | None = None) -> ProcessPoolExecutor:
    """A local pool of fresh worker processes, one per core by default.

    Workers are spawned rather than forked: the calling process may already run the core's
    worker threads, and a forked copy of a running thread pool is unusable.
    """
    return ProcessPoolExecutor(max_workers=max_workers or available_cores(),
                               mp_context=multiprocessing.get_context("spawn"))


def _dask_worker_threads() -> int | None:
    # A Dask worker runs as many tasks at once as it has threads, and those tasks share the
    # process's one pool, so the pool gets the worker's threads.
    distributed = sys.modules.get("distributed")
    if distributed is None:
        return None
    try:
        worker = distributed.get_worker()
    except ValueError:
        return None
    threads = getattr(worker, "nthreads", None) or getattr(worker.state, "nthreads", None)
    return int(threads) if threads else None


def _audit_runs(out_dir: str, runs: Sequence[tuple[Entry, str]], pool_threads: int | None,
                options: dict[str, Any]) -> list[tuple[bool, str]]:
    """The task: audits runs in order, stopping at the first failure.

    Returns (True, status) per audited run and, when a run fails, (False, its text) last.
    """
    threads = pool_threads or _dask_worker_threads()
    if threads:
        # Only the first task of a process sizes its pool; later calls change nothing.
        _ext.set_worker_limit(threads)
    outcomes: list[tuple[bool, str]] = []
    for entry, name in runs:
        try:
            outcomes.append((True, _ext.audit_entry(out_dir, entry, name, **options)))
        except ValueError as failure:
            outcomes.append((False, str(failure)))
            break
    return outcomes


def _pool_share(executor: Executor) -> int | None:
    # Several processes on this machine: each gets its share of the cores, so N of them never
    # run more pool threads than there are cores. For other executors the worker decides.
    if isinstance(executor, ProcessPoolExecutor):
        workers = getattr(executor, "_max_workers", None) or available_cores()
        return max(1, available_cores() // workers)
    return None


def _groups(entries: list[Entry], names: list[str]) -> list[list[int]]:
    """Run indices grouped by report name, groups in order of their first run.

    Runs sharing a name write the same report file and the later one must win, as in the
    sequential batch, so they go to one task that audits them in discovery order.
    """
    by_name: dict[str, list[int]] = {}
    for index, name in enumerate(names):
        by_name.setdefault(name, []).append(index)
    return list(by_name.values())


class _Progress:
    """A tqdm bar on a terminal's stderr; nothing when stderr is not a terminal or tqdm is
    missing."""

    def __init__(self, total: int, enabled: bool) -> None:
        self.bar = None
        stream = sys.stderr
        if not enabled or stream is None or not stream.isatty():
            return
        try:
            from tqdm import tqdm
        except ImportError:
            return
        self.bar = tqdm(total=total, file=stream, unit="run", desc="auditing")

    def update(self, n: int) -> None:
        if self.bar is not None:
            self.bar.update(n)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _gather(futures: list[Future], groups: list[list[int]], n_runs: int,
            progress: _Progress) -> list[str]:
    """Statuses in discovery order, or the ValueError of the first failing run in that order.

    A failure does not stop at once: a run earlier in discovery order may still fail too, and
    the batch names the first. Tasks whose runs all come after a failure are cancelled.
    """
    statuses: list[str | None] = [None] * n_runs
    failures: dict[int, str] = {}
    group_of = {id(future): group for future, group in zip(futures, groups)}
    first_run = {id(future): group[0] for future, group in zip(futures, groups)}
    pending = set(futures)
    for future in as_completed(futures):
        pending.discard(future)
        if future.cancelled():
            continue
        group = group_of[id(future)]
        try:
            outcomes = future.result()
        except BaseException:
            # Anything but a run's own failure (a lost worker, an interrupt) ends the dataset
            # as it is, without leaving the rest queued on a shared executor.
            for other in pending:
                other.cancel()
            raise
        for index, (ok, text) in zip(group, outcomes):
            if ok:
                statuses[index] = text
            else:
                failures[index] = text
        progress.update(len(outcomes))
        if failures:
            first = min(failures)
            for other in list(pending):
                if first_run[id(other)] > first and other.cancel():
                    pending.discard(other)
            # Done once every task that could hold an earlier run has answered.
            if all(first_run[id(other)] > first for other in pending):
                break
    if failures:
        for other in futures:
            other.cancel()
        raise ValueError(failures[min(failures)])
    return statuses  # type: ignore[return-value]


def audit_dataset(root: str, *, executor: Executor | None = None, progress: bool = True,
                  **options: Any) -> str:
    """Audits every DWI run under a BIDS root, the runs spread over ``executor``.

    Writes the per-run reports and the dataset summary under ``<root>/derivatives/quorvex/``
    exactly as ``audit_bids`` does and returns the same JSON answer. ``options`` are those of
    ``audit_bids`` (tolerance, b0_threshold, shell, step, strict, norm_tolerance). Without an
    executor, a local process pool with one worker per core is used and shut down afterwards.
    A failing run raises ValueError with the text ``audit_bids`` raises (the first failing run
    in discovery order); runs already audited keep their reports and no summary is written.
    With ``progress``, a progress bar goes to stderr when it is a terminal.
    """
    for name in options:
        if name not in _OPTION_NAMES:
            raise TypeError(f"audit_dataset() got an unexpected keyword argument '{name}'")
    _ext.check_options(**options)
    out_dir, entries = _ext.discover(root)
    names = [_ext.run_name(entry) for entry in entries]
    groups = _groups(entries, names)
    own = executor is None
    if executor is None:
        executor = process_pool(min(available_cores(), len(groups)))
    bar = _Progress(len(entries), progress)
    try:
        share = _pool_share(executor)
        futures = [executor.submit(_audit_runs, out_dir, [(entries[k], names[k]) for k in group],
                                   share, options) for group in groups]
        statuses = _gather(futures, groups, len(entries), bar)
    finally:
        bar.close()
        if own:
            executor.shutdown(wait=True, cancel_futures=True)
    return _ext.write_summary(root, [(names[k], entries[k][0], statuses[k])
                                       for k in range(len(entries))])
