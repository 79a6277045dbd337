"""The dataset audit's own files in its derivatives folder: the folder itself, the dataset
summary with the runs that failed or were skipped, and ``dataset_description.json``.

Each file is written beside its final name and moved into place, so a reader (or an interrupted
audit) only ever sees the old file or the complete new one, and a symlink planted at a final
name is refused rather than written through.
"""

from __future__ import annotations

import json
import os
import secrets
from dataclasses import dataclass
from typing import Any

# The BIDS version whose derivative rules the description follows.
BIDS_VERSION = "1.9.0"


@dataclass(frozen=True)
class RunFailure:
    """A run that could not be audited: its report name, the file at fault, the reason."""

    name: str
    file: str
    reason: str


@dataclass(frozen=True)
class Skipped:
    """A DWI image found without a table beside it, so never audited."""

    dwi: str
    reason: str


def display(path: str) -> str:
    """A path as text: undecodable bytes (surrogate escapes) shown as U+FFFD, as the core does."""
    return os.fsencode(path).decode("utf-8", "replace")


def prepare_output(root: str, output_dir: str | None) -> str:
    """The output folder, created: ``output_dir``, or ``<root>/derivatives/quorvex``, which must
    stay inside the dataset (a ``derivatives`` link pointing elsewhere is refused)."""
    if output_dir is not None:
        os.makedirs(output_dir, exist_ok=True)
        return output_dir
    folder = os.path.join(root, "derivatives", "quorvex")
    os.makedirs(folder, exist_ok=True)
    inside = os.path.realpath(root)
    if os.path.commonpath([inside, os.path.realpath(folder)]) != inside:
        raise ValueError(f"{display(folder)} resolves outside the dataset; refusing to write there")
    return folder


def _write_json(folder: str, name: str, document: dict[str, Any]) -> str:
    path = os.path.join(folder, name)
    if os.path.islink(path):
        raise ValueError(f"{display(path)} is a symbolic link; refusing to write through it")
    text = json.dumps(document, indent=2, sort_keys=True, ensure_ascii=False) + "\n"
    # A fresh name beside the final one, created with the usual permissions (the umask's).
    temporary = os.path.join(folder, f".{name}.{secrets.token_hex(6)}.tmp")
    handle = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o666)
    try:
        with os.fdopen(handle, "w", encoding="utf-8", errors="surrogateescape") as out:
            out.write(text)
            out.flush()
            os.fsync(out.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise
    return path


def description(version: str) -> dict[str, Any]:
    return {
        "Name": "quorvex gradient-table audit",
        "BIDSVersion": BIDS_VERSION,
        "DatasetType": "derivative",
        "GeneratedBy": [{"Name": "quorvex", "Version": version}],
    }


def write_outputs(root: str, folder: str, n_runs: int, results: list[tuple[str, str, str]],
                  failures: list[RunFailure], skipped: list[Skipped], status: str,
                  version: str) -> str:
    """Writes the description (when absent or ours) and the summary; returns the summary path.

    The summary holds what the core's summary holds, plus the failed and skipped runs.
    """
    described = os.path.join(folder, "dataset_description.json")
    try:
        with open(described, encoding="utf-8") as existing:
            theirs = json.load(existing).get("GeneratedBy", [{}])[0].get("Name") != "quorvex"
    except (OSError, ValueError, AttributeError, IndexError):
        theirs = False
    if not theirs:
        _write_json(folder, "dataset_description.json", description(version))
    summary = {
        "bids_root": display(root),
        "n_datasets": n_runs,
        "results": [{"dwi": display(dwi), "name": name, "status": run_status}
                    for name, dwi, run_status in results],
        "failed": [{"file": display(f.file), "name": f.name, "reason": f.reason}
                   for f in failures],
        "skipped": [{"dwi": display(s.dwi), "reason": s.reason} for s in skipped],
        "status": status,
        "tool": "quorvex",
    }
    return _write_json(folder, "dataset_summary.json", summary)
