"""Dataset audits spread over an executor: the runs of ``audit_bids`` as independent tasks.

``audit_bids`` audits one run after another on the calling thread. ``audit_dataset`` does the
same work through the same core steps (discovery, one audit per run, the summary), but hands
each run to a ``concurrent.futures.Executor``: local processes by default, or a Dask
``Client.get_executor()`` (or any other executor) to reach a cluster. The report files, the
dataset summary and the answer document are those ``audit_bids`` writes and returns.

``run_dataset`` is the command line's dataset audit: it goes on past failing runs, lists the
runs it had to skip, filters participants, chooses masks, can write to another folder and adds
the derivative's ``dataset_description.json``; sequential in this process without an executor.
"""

from __future__ import annotations

import inspect
import multiprocessing
import os
import re
import signal
import sys
from collections.abc import Iterable, Sequence
from concurrent.futures import Executor, Future, ProcessPoolExecutor, as_completed
from dataclasses import dataclass, field
from typing import Any

import _quorvex

# The one import of the private steps, so that renaming that module touches one line.
from quorvex import _ext as _private
from quorvex.derivatives import RunFailure, Skipped, prepare_output, write_outputs

__all__ = ["audit_dataset", "run_dataset", "DatasetAudit", "RunFailure", "Skipped",
           "process_pool", "available_cores"]

# One discovered run as ``_private.discover`` gives it: (dwi, bvec, bval, masks, sidecar).
Entry = tuple[str, str, str, tuple[str, ...], "str | None"]


# The option names come from the module's own parameter table, so they cannot drift from it.
_OPTION_NAMES = frozenset(inspect.signature(_private.check_options).parameters)
_SEVERITY = {"PASS": 0, "WARN": 1, "FLAG": 2}
_LABEL = re.compile(r"[A-Za-z0-9]+")


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
                               mp_context=multiprocessing.get_context("spawn"),
                               initializer=_ignore_interrupts)


def _ignore_interrupts() -> None:
    # Ctrl-C reaches the whole process group; the driver alone decides what stops, so a worker
    # never dies half-way with a traceback of its own.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


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
                options: dict[str, Any], keep_going: bool = False) -> list[tuple[bool, str]]:
    """The task: audits runs in order, stopping at the first failure unless ``keep_going``.

    Returns (True, status) per audited run and (False, its text) per failing run.
    """
    threads = pool_threads or _dask_worker_threads()
    if threads:
        # Only the first task of a process sizes its pool; later calls change nothing.
        _private.set_worker_limit(threads)
    outcomes: list[tuple[bool, str]] = []
    for entry, name in runs:
        try:
            outcomes.append((True, _private.audit_entry(out_dir, entry, name, **options)))
        except ValueError as failure:
            outcomes.append((False, str(failure)))
            if not keep_going:
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
    _private.check_options(**options)
    out_dir, entries = _private.discover(root)
    names = [_private.run_name(entry) for entry in entries]
    groups = _groups(entries, names)
    own = executor is None
    if executor is None:
        executor = process_pool(min(available_cores(), len(groups)))
    bar = _Progress(len(entries), progress)
    futures: list[Future] = []
    try:
        share = _pool_share(executor)
        futures = [executor.submit(_audit_runs, out_dir, [(entries[k], names[k]) for k in group],
                                   share, options) for group in groups]
        statuses = _gather(futures, groups, len(entries), bar)
    except KeyboardInterrupt:
        _stop(executor, futures)
        raise
    finally:
        bar.close()
        if own:
            executor.shutdown(wait=True, cancel_futures=True)
    return _private.write_summary(root, [(names[k], entries[k][0], statuses[k])
                                       for k in range(len(entries))])


@dataclass
class DatasetAudit:
    """What ``run_dataset`` did: every selected run in discovery order as (name, dwi, outcome),
    the outcome being its status or its failure; the runs skipped; where the summary went."""

    output_dir: str
    summary_path: str
    runs: list[tuple[str, str, str | RunFailure]] = field(default_factory=list)
    skipped: list[Skipped] = field(default_factory=list)

    @property
    def results(self) -> list[tuple[str, str, str]]:
        """The audited runs as (name, dwi, status)."""
        return [(name, dwi, s) for name, dwi, s in self.runs if isinstance(s, str)]

    @property
    def failures(self) -> list[RunFailure]:
        return [s for _, _, s in self.runs if isinstance(s, RunFailure)]

    @property
    def status(self) -> str:
        """The most severe status of the audited runs (PASS when none was audited)."""
        return max((s for _, _, s in self.results), key=_SEVERITY.__getitem__, default="PASS")


def _labels(kind: str, labels: Iterable[str], prefix: str) -> list[str]:
    out = []
    for label in labels:
        bare = label.removeprefix(prefix)
        if not _LABEL.fullmatch(bare):
            raise ValueError(f"{kind} {label!r} is not a BIDS label (letters and digits only)")
        out.append(bare)
    return out


def _select_participants(root: str, entries: list[Entry], labels: list[str]) -> list[Entry]:
    wanted = {f"sub-{label}" for label in labels}
    chosen, seen = [], set()
    for entry in entries:
        parts = set(os.path.relpath(entry[0], root).split(os.sep))
        if parts & wanted:
            chosen.append(entry)
            seen |= parts & wanted
    missing = sorted(wanted - seen)
    if missing:
        raise ValueError(f"no DWI run with a table for {', '.join(missing)} under {root}")
    return chosen


def _with_masks(entry: Entry, desc: str) -> Entry:
    # The core takes the first candidate on the image's grid; keeping only the chosen desc-*
    # masks makes that the one. A run without one falls back to the white-matter proxy.
    pattern = re.compile(rf"(^|_)desc-{re.escape(desc)}_")
    masks = tuple(m for m in entry[3] if pattern.search(os.path.basename(m)))
    return (entry[0], entry[1], entry[2], masks, entry[4])


_IMAGE = re.compile(r"^(?!\._).+_dwi\.nii(\.gz)?$")


def _skipped(root: str, entries: list[Entry]) -> list[Skipped]:
    """DWI images, named as discovery names them, that have no table beside them."""
    found = {os.path.normpath(entry[0]) for entry in entries}
    skipped, visited = [], set()
    for folder, subfolders, files in os.walk(root, followlinks=True):
        try:
            here = os.stat(folder)
        except OSError:
            continue
        if (here.st_dev, here.st_ino) in visited:
            subfolders[:] = []
            continue
        visited.add((here.st_dev, here.st_ino))
        subfolders[:] = sorted(d for d in subfolders if d != "derivatives")
        for name in sorted(files):
            path = os.path.join(folder, name)
            if _IMAGE.match(name) and os.path.normpath(path) not in found:
                skipped.append(Skipped(path, "no bvec/bval (or bvecs/bvals) beside the image"))
    return skipped


def _failure(entry: Entry, name: str, reason: str) -> RunFailure:
    # The file at fault: the first of the run's files the reason names, else its image.
    candidates = [entry[1], entry[2], *entry[3], entry[0]]
    named = [path for path in candidates if os.path.basename(path) in reason]
    return RunFailure(name, named[0] if named else entry[0], reason)


def _stop(executor: Executor, futures: Iterable[Future]) -> None:
    """Ends a dataset that is being abandoned (an interrupt, a lost worker) without waiting for
    the runs in flight: queued tasks are cancelled and local worker processes ended."""
    for future in futures:
        future.cancel()
    if isinstance(executor, ProcessPoolExecutor):
        for process in list((getattr(executor, "_processes", None) or {}).values()):
            process.terminate()
        executor.shutdown(wait=False, cancel_futures=True)


def run_dataset(root: str | os.PathLike[str], output_dir: str | os.PathLike[str] | None = None,
                *, executor: Executor | None = None, participant_label: Sequence[str] = (),
                mask_desc: str | None = None, threads: int | None = None, progress: bool = True,
                **options: Any) -> DatasetAudit:
    """Audits the DWI runs under a BIDS root, going on past runs that fail.

    Reports go to ``output_dir`` (default ``<root>/derivatives/quorvex``) beside the dataset
    summary and a ``dataset_description.json``. ``participant_label`` keeps the runs of those
    subjects (with or without ``sub-``); ``mask_desc`` keeps only the ``desc-<label>`` masks as
    candidates. Without ``executor`` the runs are audited one after another in this process;
    ``threads`` caps the voxel-parallel pool (in each worker process for a local pool). A
    dataset without any run to audit, an unknown participant or a bad option is a ValueError
    before anything is written; a failing run is recorded and the others are audited.
    """
    for name in options:
        if name not in _OPTION_NAMES:
            raise TypeError(f"run_dataset() got an unexpected keyword argument '{name}'")
    _private.check_options(**options)
    if threads is not None and threads < 1:
        raise ValueError("threads must be at least 1")
    root = os.fspath(root)
    labels = _labels("participant label", participant_label, "sub-")
    desc = _labels("mask desc", [mask_desc], "desc-")[0] if mask_desc is not None else None
    entries = _private.find_runs(root)
    skipped = _skipped(root, entries)
    if not entries:
        raise ValueError("no *_dwi NIfTI with sibling bvec/bval (or bvecs/bvals) found under "
                         f"{root}")
    if labels:
        entries = _select_participants(root, entries, labels)
        wanted = {f"sub-{label}" for label in labels}
        skipped = [s for s in skipped if wanted & set(os.path.relpath(s.dwi, root).split(os.sep))]
    if desc is not None:
        entries = [_with_masks(entry, desc) for entry in entries]
    out_dir = prepare_output(root, None if output_dir is None else os.fspath(output_dir))
    names = [_private.run_name(entry) for entry in entries]
    groups = _groups(entries, names)
    outcomes: list[tuple[bool, str] | None] = [None] * len(entries)
    bar = _Progress(len(entries), progress)
    try:
        if executor is None:
            if threads:
                _private.set_worker_limit(threads)
            for index, entry in enumerate(entries):
                outcomes[index] = _audit_runs(out_dir, [(entry, names[index])], None, options,
                                              True)[0]
                bar.update(1)
        else:
            share = _pool_share(executor)
            if threads:
                share = min(share, threads) if share else threads
            futures = [executor.submit(_audit_runs, out_dir,
                                       [(entries[k], names[k]) for k in group], share, options,
                                       True) for group in groups]
            group_of = {id(future): group for future, group in zip(futures, groups)}
            try:
                for future in as_completed(futures):
                    group = group_of[id(future)]
                    done = future.result()
                    for index, outcome in zip(group, done):
                        outcomes[index] = outcome
                    bar.update(len(done))
            except BaseException:
                _stop(executor, futures)
                raise
    finally:
        bar.close()
    audit = DatasetAudit(out_dir, "", skipped=skipped)
    for index, (ok, text) in enumerate(outcomes):  # type: ignore[misc]
        outcome = text if ok else _failure(entries[index], names[index], text)
        audit.runs.append((names[index], entries[index][0], outcome))
    audit.summary_path = write_outputs(root, out_dir, len(entries), audit.results,
                                       audit.failures, audit.skipped, audit.status,
                                       _quorvex.version())
    return audit
