"""The ``quorvex`` command line: a thin layer over the module's functions.

Every flag maps one to one onto a keyword argument; all computing happens in the module. By
default a short human summary is printed; ``--json`` prints the module's JSON unchanged. The
command line checks what it is given first, so a missing file or a meaningless number is a
one-line message naming it rather than a failure half-way.
"""

from __future__ import annotations

import argparse
import inspect
import json
import os
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

import _quorvex
from quorvex import _ext, summaries, verdict
from quorvex.cli_checks import (
    Refused,
    UsageError,
    check_input,
    check_mask,
    check_numbers,
    check_paths,
    check_shell,
)
from quorvex.terminal import Style, safe, safe_json

# The numeric defaults are the module's own, read from its signature table.
DEFAULTS = {name: p.default for name, p in inspect.signature(_quorvex.audit).parameters.items()
            if isinstance(p.default, float)}

EXIT_OK = 0  # PASS
EXIT_ERROR = 1  # refused input; for bids, any run that could not be audited
EXIT_USAGE = 2  # bad command line
EXIT_WARN = 3  # needs a human: an ambiguous verdict or a scheme problem
EXIT_FLAG = 4  # the table does not match the image: the summary prints the repair
EXIT_INTERRUPTED = 130  # Ctrl-C

EPILOG = """\
exit codes:
  0    PASS
  3    WARN (needs a human look)
  4    FLAG (the table is wrong for the image; the summary prints the repair command)
  1    the input was refused (one-line message on stderr); bids: a run could not be audited
  2    usage error
  130  interrupted (Ctrl-C)
  repair exits 0 on a FLAG once the corrected table is written (4 on a dry run).
  bids exits with its most severe run: a failed run (1), then FLAG (4), then WARN (3).

frames: FSL bvec files are read in the image's voxel frame, with the first axis mirrored when
the affine's determinant is positive; MRtrix grad files are read in world (scanner) axes.
"""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str):  # type: ignore[override]
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"{self.prog}: error: {safe(message)}\n")


# ---------------------------------------------------------------------------------------------
# Arguments


def _table_flags(p: argparse.ArgumentParser, *, tolerance: bool = True) -> None:
    g = p.add_argument_group("gradient table (an FSL pair or an MRtrix file)")
    g.add_argument("--bvec", help="FSL bvec file")
    g.add_argument("--bval", help="FSL bval file")
    g.add_argument("--grad", help="MRtrix gradient file (wins over --bvec/--bval)")
    g.add_argument("--b0-threshold", type=float, default=DEFAULTS["b0_threshold"], metavar="B",
                   help="b-values at or below B are b0 volumes (default %(default)g)")
    if tolerance:
        g.add_argument("--tolerance", type=float, default=DEFAULTS["tolerance"],
                       help="relative shell-grouping tolerance (default %(default)g)")


def _scheme_flags(p: argparse.ArgumentParser) -> None:
    p.add_argument("--norm-tolerance", type=float, default=DEFAULTS["norm_tolerance"],
                   help="allowed deviation of a gradient norm from 1 (default %(default)g)")
    p.add_argument("--strict", action="store_true",
                   help="severe scheme findings turn PASS into WARN; amplitude-encoded bvecs fail")


def _image_flags(p: argparse.ArgumentParser) -> None:
    p.add_argument("--mask", help="3-D brain or white-matter mask (NIfTI) on the image's grid")
    p.add_argument("--shell", type=float,
                   help="b-value of a shell of the table to fit (default: the one nearest 1000)")
    p.add_argument("--step", type=float,
                   help="coherence probe length in voxels, > 0 (default: 4 mm, at least one "
                        "voxel)")
    p.add_argument("--coherence-only", action="store_true",
                   help="decide by the coherence verdict alone, without the confirmed verdict")


def _output_flags(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("outputs")
    g.add_argument("--out-bvec", required=True, help="corrected FSL bvec file")
    g.add_argument("--out-bval", required=True, help="corrected FSL bval file")
    g.add_argument("--out-grad", help="also write an MRtrix gradient file")
    g.add_argument("--provenance", help="write a provenance sidecar (JSON) here")
    g.add_argument("--dry-run", action="store_true", help="decide and report, write nothing")
    g.add_argument("--force", action="store_true",
                   help="replace existing outputs, moving each to a numbered .bak first")


def _bids_flags(p: argparse.ArgumentParser) -> None:
    p.add_argument("root", help="the dataset's root folder")
    p.add_argument("output_dir", nargs="?",
                   help="where the reports go (default ROOT/derivatives/quorvex)")
    p.add_argument("analysis_level", nargs="?", choices=["participant"],
                   help="BIDS Apps form: only 'participant' (one report per run)")
    p.add_argument("--participant-label", nargs="+", metavar="LABEL",
                   help="audit only these subjects (01 or sub-01)")
    p.add_argument("--mask-desc", metavar="LABEL",
                   help="use the desc-LABEL mask of each run (e.g. wm) when several exist")
    p.add_argument("--tolerance", type=float, default=DEFAULTS["tolerance"])
    p.add_argument("--b0-threshold", type=float, default=DEFAULTS["b0_threshold"], metavar="B")
    _scheme_flags(p)
    p.add_argument("--shell", type=float)
    p.add_argument("--step", type=float)
    p.add_argument("--threads", type=int, metavar="N",
                   help="at most N voxel-parallel threads (per process with --jobs)")
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    p.add_argument("--coherence-only", action="store_true",
                   help="run statuses from the coherence verdict alone")
    spread = p.add_mutually_exclusive_group()
    spread.add_argument("--jobs", type=int, metavar="N",
                        help="audit the runs in N local processes (default: one after another)")
    spread.add_argument("--dask", metavar="ADDRESS",
                        help="audit the runs on a running Dask scheduler, e.g. tcp://host:8786 "
                             "(needs the dask extra)")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="quorvex", epilog=EPILOG,
                     formatter_class=argparse.RawDescriptionHelpFormatter,
                     description="Quality control for diffusion MRI gradient tables.")
    parser.add_argument("--version", action="version", version=f"quorvex {_quorvex.version()}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, help_text: str) -> argparse.ArgumentParser:
        p = sub.add_parser(name, help=help_text, description=help_text, epilog=EPILOG,
                           formatter_class=argparse.RawDescriptionHelpFormatter)
        p.add_argument("--json", action="store_true",
                       help="print the module's JSON unchanged (for pipelines)")
        return p

    p = command("inspect", "audit a gradient scheme without an image")
    _table_flags(p)
    _scheme_flags(p)
    p.add_argument("--shell", type=float, help="accepted for symmetry with audit; no effect")

    p = command("audit", "full audit: scheme, b0 drift and flip detection (with an image)")
    p.add_argument("dwi", nargs="?", help="the DWI (NIfTI-1, .nii or .nii.gz); without it, "
                                          "no flip detection")
    _table_flags(p)
    _scheme_flags(p)
    _image_flags(p)
    p.add_argument("--profile", action="store_true",
                   help="also time the stages (needs the image)")

    p = command("detect", "flip detection only")
    p.add_argument("dwi", help="the DWI (NIfTI-1, .nii or .nii.gz)")
    _table_flags(p)
    _image_flags(p)

    p = command("repair", "audit, then write the corrected table when a flip is found")
    p.add_argument("dwi", help="the DWI (NIfTI-1, .nii or .nii.gz)")
    _table_flags(p)
    _scheme_flags(p)
    _image_flags(p)
    _output_flags(p)
    p.add_argument("--force-repair", action="store_true",
                   help="apply the best candidate even on a WARN verdict")

    p = command("recompute-bval", "recover b-values from amplitude-encoded bvecs")
    _table_flags(p, tolerance=False)
    _output_flags(p)
    p.add_argument("--force-recompute", action="store_true",
                   help="recompute even when the table is not amplitude-encoded")

    _bids_flags(command("bids", "audit every DWI run of a BIDS dataset"))
    return parser


def _table_kwargs(a: argparse.Namespace) -> dict[str, Any]:
    return {"bvec": a.bvec, "bval": a.bval, "grad": a.grad}


def _common(a: argparse.Namespace, *names: str) -> dict[str, Any]:
    return {name: getattr(a, name) for name in names}


# ---------------------------------------------------------------------------------------------
# Statuses and exit codes


def run_status(report: dict[str, Any]) -> str:
    """The status a run's report stands for: the one word its exit code comes from. With the
    confirmed verdict, the run's status with it."""
    return report.get("confirmed_status", report["status"])


def exit_code(status: str) -> int:
    return {"PASS": EXIT_OK, "WARN": EXIT_WARN, "FLAG": EXIT_FLAG}.get(status, EXIT_ERROR)


def dataset_exit_code(statuses: Sequence[str], failures: int) -> int:
    """The most severe of a dataset's runs: a failed run, then FLAG, then WARN."""
    if failures:
        return EXIT_ERROR
    for status in ("FLAG", "WARN"):
        if status in statuses:
            return exit_code(status)
    return EXIT_OK


# ---------------------------------------------------------------------------------------------
# Commands


def _print(lines: Sequence[str], out) -> None:
    for line in lines:
        print(line, file=out)


def _report_command(call: Callable[[], Any], summary: Callable[..., list[str]],
                    a: argparse.Namespace, style: Style, out, *, profiled: bool = False,
                    confirmed: bool = False) -> int:
    result = call()
    if confirmed:
        # (report, confirmed verdict, run status[, timings]) from the private module.
        report = verdict.merge(*result[:3])
        timings = result[3] if profiled else None
        text = json.dumps(report, ensure_ascii=False, separators=(",", ":"))
    else:
        text, timings = (result if profiled else (result, None))
        report = json.loads(text)
    status = run_status(report)
    if a.json:
        print(safe_json(text), file=out)
    elif profiled:
        _print(summary(report, status, style, a, timings), out)
    else:
        _print(summary(report, status, style, a), out)
    repaired = (report.get("repair") or {}).get("outputs")
    # A FLAG whose corrected table has been written is dealt with: the repair succeeded.
    return EXIT_OK if repaired and status == "FLAG" else exit_code(status)


def _check(a: argparse.Namespace) -> None:
    check_numbers(a)
    check_paths(a)
    if a.command in ("audit", "detect", "repair"):
        check_mask(a)
        check_shell(a)


def _non_unit_fraction(a: argparse.Namespace) -> float:
    """The fraction of non-b0 directions that are not unit length; the scheme audit calls a
    table amplitude-encoded above one half."""
    report = json.loads(_quorvex.inspect(**_table_kwargs(a), b0_threshold=a.b0_threshold))
    norms = report.get("norm_stats") or {}
    return norms.get("non_unit_fraction", 0.0) if norms.get("non_b0_count", 0) else 0.0


def _recompute(a: argparse.Namespace, out) -> int:
    if not a.force_recompute and not (fraction := _non_unit_fraction(a)) > 0.5:
        raise Refused(f"{100 * fraction:.0f}% of the non-b0 directions are not unit length: the "
                      "table is not amplitude-encoded and recomputing its b-values would damage "
                      "it; nothing written (--force-recompute to recompute anyway)")
    text = _quorvex.recompute_bval(
        a.out_bvec, a.out_bval, **_table_kwargs(a), out_grad=a.out_grad,
        provenance=a.provenance, b0_threshold=a.b0_threshold, dry_run=a.dry_run,
        in_place=a.force)
    if a.json:
        print(safe_json(text), file=out)
    else:
        _print(summaries.recompute_summary(json.loads(text)), out)
    return EXIT_OK


def _run(a: argparse.Namespace, style: Style, out) -> int:
    if a.command == "bids":
        return _bids(a, style, out)
    _check(a)
    if a.command == "inspect":
        return _report_command(lambda: _quorvex.inspect(
            **_table_kwargs(a), **_common(a, "tolerance", "b0_threshold", "shell", "strict",
                                          "norm_tolerance")), summaries.inspect_summary, a,
            style, out)
    if a.command == "audit":
        common = {**_table_kwargs(a), "mask": a.mask,
                  **_common(a, "tolerance", "b0_threshold", "shell", "step", "strict",
                            "norm_tolerance")}
        if a.profile and not a.dwi:
            raise UsageError("--profile needs the DWI image")
        if a.dwi and not a.coherence_only:
            return _report_command(lambda: _ext.audit_confirmed(a.dwi, **common),
                                   summaries.audit_summary, a, style, out, profiled=a.profile,
                                   confirmed=True)
        if a.profile:
            return _report_command(lambda: _quorvex.audit_profiled(a.dwi, **common),
                                   summaries.audit_summary, a, style, out, profiled=True)
        return _report_command(lambda: _quorvex.audit(dwi=a.dwi, **common),
                               summaries.audit_summary, a, style, out)
    if a.command == "detect":
        common = {**_table_kwargs(a), "mask": a.mask,
                  **_common(a, "tolerance", "b0_threshold", "shell", "step")}
        if a.coherence_only:
            return _report_command(lambda: _quorvex.detect_flip(a.dwi, **common),
                                   summaries.audit_summary, a, style, out)
        return _report_command(lambda: _ext.audit_confirmed(a.dwi, **common, detect_only=True),
                               summaries.audit_summary, a, style, out, confirmed=True)
    if a.command == "repair":
        # The confirmed verdict decides what is written unless the coherence one is asked for.
        call = _quorvex.repair if a.coherence_only else _ext.repair_confirmed
        return _report_command(lambda: call(
            a.dwi, a.out_bvec, a.out_bval, **_table_kwargs(a), mask=a.mask,
            out_grad=a.out_grad, provenance=a.provenance, dry_run=a.dry_run, in_place=a.force,
            force_repair=a.force_repair,
            **_common(a, "tolerance", "b0_threshold", "shell", "step", "strict",
                      "norm_tolerance")), summaries.repair_summary, a, style, out,
            confirmed=not a.coherence_only)
    if a.command == "recompute-bval":
        return _recompute(a, out)
    raise UsageError(f"unknown command {a.command}")


def _dask_executor(address: str):
    try:
        from distributed import Client
    except ImportError:
        raise UsageError("--dask needs Dask: pip install 'quorvex[dask]'") from None
    try:
        # A scheduler that does not answer is reported in seconds, not after Dask's 30 s.
        return Client(address, timeout=5)
    except (OSError, TimeoutError, ValueError, TypeError) as problem:
        reason = str(problem).splitlines()[0] if str(problem) else type(problem).__name__
        raise Refused(f"cannot reach the Dask scheduler at {address}: {reason}") from None


def _bids(a: argparse.Namespace, style: Style, out) -> int:
    from quorvex import bids

    if a.output_dir is not None and a.analysis_level is None:
        raise UsageError("with an output folder, give the analysis level too: "
                         "quorvex bids ROOT OUTPUT_DIR participant")
    check_numbers(a)
    check_input("dataset root", a.root, folder=True)
    kwargs = {"output_dir": a.output_dir, "participant_label": a.participant_label or (),
              "mask_desc": a.mask_desc, "threads": a.threads, "progress": not a.quiet,
              "confirmed": not a.coherence_only,
              **_common(a, "tolerance", "b0_threshold", "shell", "step", "strict",
                        "norm_tolerance")}
    if a.jobs is not None:
        with bids.process_pool(a.jobs) as pool:
            audit = bids.run_dataset(a.root, executor=pool, **kwargs)
    elif a.dask is not None:
        # Workers run elsewhere: they must get paths that do not depend on this folder.
        kwargs["output_dir"] = a.output_dir and os.path.abspath(a.output_dir)
        with _dask_executor(a.dask) as client:
            audit = bids.run_dataset(os.path.abspath(a.root), executor=client.get_executor(),
                                     **kwargs)
    else:
        audit = bids.run_dataset(a.root, **kwargs)
    for failure in audit.failures:
        print(f"quorvex: {safe(failure.name)}: {safe(failure.file)}: {safe(failure.reason)}",
              file=sys.stderr)
    statuses = [status for *_, status in audit.results]
    code = dataset_exit_code(statuses, len(audit.failures))
    status = "ERROR" if audit.failures else audit.status
    if a.json:
        document = json.loads(Path(audit.summary_path).read_text(encoding="utf-8"))
        document.update(exit_code=code, summary_path=audit.summary_path)
        print(safe_json(json.dumps(document, ensure_ascii=False, separators=(",", ":"),
                                   sort_keys=True)), file=out)
    else:
        _print(summaries.bids_summary(audit, status, style), out)
    return code


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        return _run(args, Style(sys.stdout), sys.stdout)
    except UsageError as problem:
        print(f"quorvex: error: {safe(problem)}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        # The runs already written are complete files; nothing else needs saying.
        print("quorvex: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except ValueError as problem:
        # The module's messages are one line already; no traceback for refused input.
        print(f"quorvex: {safe(problem)}", file=sys.stderr)
        return EXIT_ERROR
    except BrokenPipeError:
        # The reader went away: say nothing more, not even at the final flush.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_OK
    except OSError as problem:
        # A folder the command line creates or a file it writes itself (the dataset audit's).
        where = f"{problem.filename}: " if problem.filename else ""
        print(f"quorvex: {safe(where)}{safe(problem.strerror or problem)}", file=sys.stderr)
        return EXIT_ERROR


if __name__ == "__main__":
    sys.exit(main())
