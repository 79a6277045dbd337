"""The ``quorvex`` command line: a thin layer over the module's functions.

Every flag maps one to one onto a keyword argument; all computing happens in the module. By
default a short human summary is printed; ``--json`` prints the module's JSON unchanged.
"""

from __future__ import annotations

import argparse
import json
import os
import shlex
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

import _quorvex
from quorvex import _ext, verdict

EXIT_OK = 0  # PASS, or FLAG: a flip was found and the repair is known
EXIT_ERROR = 1  # the module refused the input (its one-line message goes to stderr)
EXIT_USAGE = 2  # bad command line
EXIT_WARN = 3  # needs a human: an ambiguous verdict or a scheme problem

EPILOG = """\
exit codes:
  0  PASS or FLAG (a FLAG is actionable: the summary prints the repair command)
  3  WARN (needs a human look)
  1  the input was refused (one-line message on stderr)
  2  usage error
  bids: the dataset audit's own exit code (non-zero only when a run is WARN)

frames: FSL bvec files are read in the image's voxel frame, with the first axis mirrored when
the affine's determinant is positive; MRtrix grad files are read in world (scanner) axes.
"""


class Style:
    """ANSI colour on a terminal, never with NO_COLOR or when piped."""

    def __init__(self, stream) -> None:
        self.enabled = stream.isatty() and "NO_COLOR" not in os.environ

    def __call__(self, text: str, code: str) -> str:
        return f"\033[{code}m{text}\033[0m" if self.enabled else text

    def status(self, status: str) -> str:
        return self(status, {"PASS": "32;1", "WARN": "33;1", "FLAG": "31;1"}.get(status, "1"))


# ---------------------------------------------------------------------------------------------
# Arguments


def _table_flags(p: argparse.ArgumentParser, *, tolerance: bool = True) -> None:
    g = p.add_argument_group("gradient table (an FSL pair or an MRtrix file)")
    g.add_argument("--bvec", help="FSL bvec file")
    g.add_argument("--bval", help="FSL bval file")
    g.add_argument("--grad", help="MRtrix gradient file (wins over --bvec/--bval)")
    g.add_argument("--b0-threshold", type=float, default=50.0, metavar="B",
                   help="b-values at or below B are b0 volumes (default 50)")
    if tolerance:
        g.add_argument("--tolerance", type=float, default=0.05,
                       help="relative shell-grouping tolerance (default 0.05)")


def _scheme_flags(p: argparse.ArgumentParser) -> None:
    p.add_argument("--norm-tolerance", type=float, default=0.05,
                   help="allowed deviation of a gradient norm from 1 (default 0.05)")
    p.add_argument("--strict", action="store_true",
                   help="severe scheme findings turn PASS into WARN; amplitude-encoded bvecs fail")


def _image_flags(p: argparse.ArgumentParser) -> None:
    p.add_argument("--mask", help="brain or white-matter mask (NIfTI) for the coherence measure")
    p.add_argument("--shell", type=float,
                   help="b-value of the shell to fit (default: the one nearest 1000)")
    p.add_argument("--step", type=float,
                   help="coherence probe length in voxels (default: 4 mm, at least one voxel)")
    p.add_argument("--coherence-only", action="store_true",
                   help="give the coherence verdict alone, without the confirmed verdict")


def _output_flags(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("outputs")
    g.add_argument("--out-bvec", required=True, help="corrected FSL bvec file")
    g.add_argument("--out-bval", required=True, help="corrected FSL bval file")
    g.add_argument("--out-grad", help="also write an MRtrix gradient file")
    g.add_argument("--provenance", help="write a provenance sidecar (JSON) here")
    g.add_argument("--dry-run", action="store_true", help="decide and report, write nothing")
    g.add_argument("--force", action="store_true",
                   help="replace existing outputs, moving each to a numbered .bak first")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quorvex", epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter,
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
    p.add_argument("dwi", nargs="?", help="the DWI (NIfTI-1, .nii or .nii.gz)")
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

    p = command("bids", "audit every DWI run of a BIDS dataset")
    p.add_argument("root", help="the dataset's root folder")
    p.add_argument("--tolerance", type=float, default=0.05)
    p.add_argument("--b0-threshold", type=float, default=50.0, metavar="B")
    _scheme_flags(p)
    p.add_argument("--shell", type=float)
    p.add_argument("--step", type=float)
    p.add_argument("--coherence-only", action="store_true",
                   help="run statuses from the coherence verdict alone")
    spread = p.add_mutually_exclusive_group()
    spread.add_argument("--jobs", type=int, metavar="N",
                        help="audit the runs in N local processes (default: one after another)")
    spread.add_argument("--dask", metavar="ADDRESS",
                        help="audit the runs on a running Dask scheduler, e.g. tcp://host:8786 "
                             "(needs the dask extra)")
    return parser


def _table_kwargs(a: argparse.Namespace) -> dict[str, Any]:
    return {"bvec": a.bvec, "bval": a.bval, "grad": a.grad}


def _common(a: argparse.Namespace, *names: str) -> dict[str, Any]:
    return {name: getattr(a, name) for name in names}


# ---------------------------------------------------------------------------------------------
# Human summaries


def _run_status(report: dict[str, Any]) -> str:
    """The run's status: with the confirmed verdict when it was computed."""
    return report.get("confirmed_status", report["status"])


def _summary_lines(report: dict[str, Any], style: Style) -> list[str]:
    lines = [f"status: {style.status(_run_status(report))}"]
    shells = report.get("shells")
    if shells:
        parts = []
        for s in shells["shells"]:
            name = "b0" if s["is_b0"] else f"b={s['nominal_b']:g}"
            parts.append(f"{name} x{s['count']}")
        lines.append("shells: " + ", ".join(parts))
        b0 = shells["b0"]
        if b0["count"]:
            where = ", ".join(str(i) for i in b0["indices"][:12])
            more = " ..." if b0["count"] > 12 else ""
            lines.append(f"b0 volumes: {b0['count']} at {where}{more}")
        else:
            lines.append("b0 volumes: none")
    drift = report.get("b0_drift")
    if drift and len(drift["indices"]) >= 2:
        lines.append(f"b0 drift: {100 * drift['relative_drift']:.1f}% peak-to-peak")
    flip = report.get("flip")
    if flip:
        lines += _flip_lines(flip, style, confirmed="confirmed" in report)
    if "confirmed" in report:
        lines += verdict.lines(report["confirmed"], style)
    repair = report.get("repair")
    if repair:
        written = ", ".join(repair["outputs"]) if repair["outputs"] else "nothing (dry run)"
        lines.append(f"repair: applied {repair['label']}; wrote {written}")
    for note in report["notes"]:
        lines.append(f"note: {note}")
    return lines


def _flip_lines(flip: dict[str, Any], style: Style, confirmed: bool = False) -> list[str]:
    best, runner = flip["best"], flip["runner_up"]
    title = "coherence verdict" if confirmed else "flip detection"
    return [
        f"{title}: {style.status(flip['decision'])} on b={flip['working_b']:g}, "
        f"{flip['n_wm_voxels']} voxels (mean FA {flip['mask_mean_fa']:.2f})",
        f"  best      {best['label']}  coherence {best['coherence']:.4f}",
        f"  runner-up {runner['label']}  coherence {runner['coherence']:.4f}",
        f"  identity  +x+y+z  coherence {flip['identity_coherence']:.4f}",
        f"  relative margin {100 * flip['relative_margin']:.2f}% (FLAG needs 2.00%)",
    ]


def _suggested_name(path: str, suffix: str) -> str:
    p = Path(path)
    name = p.name
    for ext in (".bvec", ".bval", ".bvecs", ".bvals", ".b"):
        if name.endswith(ext):
            return str(p.with_name(name[: -len(ext)] + f"_repaired{ext}"))
    return str(p.with_name(name + f"_repaired{suffix}"))


def _repair_command(a: argparse.Namespace) -> str:
    words = ["quorvex", "repair", a.dwi]
    if a.grad:
        base = a.grad
        words += ["--grad", a.grad, "--out-grad", _suggested_name(base, ".b")]
        stem = str(Path(base).with_suffix(""))
        words += ["--out-bvec", stem + "_repaired.bvec", "--out-bval", stem + "_repaired.bval"]
    else:
        words += ["--bvec", a.bvec, "--bval", a.bval,
                  "--out-bvec", _suggested_name(a.bvec, ".bvec"),
                  "--out-bval", _suggested_name(a.bval, ".bval")]
    if a.mask:
        words += ["--mask", a.mask]
    return " ".join(shlex.quote(w) for w in words)


def _exit_for(status: str) -> int:
    return EXIT_WARN if status == "WARN" else EXIT_OK


# ---------------------------------------------------------------------------------------------
# Commands


def _report_command(call: Callable[[], Any], a: argparse.Namespace, style: Style,
                    out, *, profiled: bool = False, suggest: bool = False,
                    confirmed: bool = False) -> int:
    result = call()
    timings = None
    if confirmed:
        report = verdict.merge(*result[:3])
        timings = result[3] if profiled else None
        text = json.dumps(report, ensure_ascii=False, separators=(",", ":"))
    else:
        text, timings = (result if profiled else (result, None))
        report = json.loads(text)
    if a.json:
        print(text, file=out)
    else:
        for line in _summary_lines(report, style):
            print(line, file=out)
        # The repair command is offered only for the verdict that decides the run.
        decider = report.get("confirmed") or report.get("flip")
        if suggest and decider and decider["decision"] == "FLAG":
            print(f"repair with: {_repair_command(a)}", file=out)
        if timings is not None:
            print("stages (s): " + "  ".join(
                f"{k} {v:.3f}" for k, v in timings.items()), file=out)
    return _exit_for(_run_status(report))


def _run(a: argparse.Namespace, style: Style, out) -> int:
    if a.command == "inspect":
        return _report_command(lambda: _quorvex.inspect(
            **_table_kwargs(a), **_common(a, "tolerance", "b0_threshold", "shell", "strict",
                                          "norm_tolerance")), a, style, out)
    if a.command == "audit":
        common = {**_table_kwargs(a), "mask": a.mask,
                  **_common(a, "tolerance", "b0_threshold", "shell", "step", "strict",
                            "norm_tolerance")}
        if a.profile and not a.dwi:
            raise _Usage("--profile needs the DWI image")
        if a.dwi and not a.coherence_only:
            return _report_command(lambda: _ext.audit_confirmed(a.dwi, **common), a, style, out,
                                   profiled=a.profile, suggest=True, confirmed=True)
        if a.profile:
            return _report_command(lambda: _quorvex.audit_profiled(a.dwi, **common), a, style,
                                   out, profiled=True, suggest=True)
        return _report_command(lambda: _quorvex.audit(dwi=a.dwi, **common), a, style, out,
                               suggest=a.dwi is not None)
    if a.command == "detect":
        common = {**_table_kwargs(a), "mask": a.mask,
                  **_common(a, "tolerance", "b0_threshold", "shell", "step")}
        if a.coherence_only:
            return _report_command(lambda: _quorvex.detect_flip(a.dwi, **common), a, style, out,
                                   suggest=True)
        return _report_command(lambda: _ext.audit_confirmed(a.dwi, **common, detect_only=True),
                               a, style, out, suggest=True, confirmed=True)
    if a.command == "repair":
        # The confirmed verdict decides what is written unless the coherence one is asked for.
        call = _quorvex.repair if a.coherence_only else _ext.repair_confirmed
        return _report_command(lambda: call(
            a.dwi, a.out_bvec, a.out_bval, **_table_kwargs(a), mask=a.mask,
            out_grad=a.out_grad, provenance=a.provenance, dry_run=a.dry_run, in_place=a.force,
            force_repair=a.force_repair,
            **_common(a, "tolerance", "b0_threshold", "shell", "step", "strict",
                      "norm_tolerance")), a, style, out, confirmed=not a.coherence_only)
    if a.command == "recompute-bval":
        text = _quorvex.recompute_bval(
            a.out_bvec, a.out_bval, **_table_kwargs(a), out_grad=a.out_grad,
            provenance=a.provenance, b0_threshold=a.b0_threshold, dry_run=a.dry_run,
            in_place=a.force)
        if a.json:
            print(text, file=out)
            return EXIT_OK
        summary = json.loads(text)
        def shells(rows):
            return ", ".join(f"b={r['nominal_b']:g} x{r['count']}" for r in rows)

        print(f"nominal b {summary['b_nominal']:g}, largest |g| {summary['max_norm']:.4f}",
              file=out)
        print(f"before: {shells(summary['before'])}", file=out)
        print(f"after:  {shells(summary['after'])}", file=out)
        written = ", ".join(summary["outputs"]) or "nothing (dry run)"
        print(f"wrote: {written}", file=out)
        return EXIT_OK
    if a.command == "bids":
        text = _bids(a, _common(
            a, "tolerance", "b0_threshold", "shell", "step", "strict", "norm_tolerance"))

        answer = json.loads(text)
        if a.json:
            print(text, file=out)
        else:
            print(f"dataset status: {style.status(answer['status'])}", file=out)
            for run in answer["results"]:
                print(f"  {style.status(run['status'])}  {run['name']}", file=out)
            print(f"summary: {answer['summary_path']}", file=out)
        return int(answer["exit_code"])
    raise _Usage(f"unknown command {a.command}")


def _bids(a: argparse.Namespace, options: dict[str, Any]) -> str:
    if a.coherence_only and a.jobs is None and a.dask is None:
        return _quorvex.audit_bids(a.root, **options)
    from quorvex import bids

    if not a.coherence_only:
        options = {**options, "confirmed": True}
    if a.jobs is None and a.dask is None:
        # One run after another in this process; the audit itself uses every core.
        from concurrent.futures import ThreadPoolExecutor

        with ThreadPoolExecutor(1) as one:
            return bids.audit_dataset(a.root, executor=one, **options)

    if a.jobs is not None:
        if a.jobs < 1:
            raise _Usage("--jobs needs at least one process")
        with bids.process_pool(a.jobs) as pool:
            return bids.audit_dataset(a.root, executor=pool, **options)
    try:
        from distributed import Client
    except ImportError:
        raise _Usage("--dask needs Dask: pip install 'quorvex[dask]'") from None
    with Client(a.dask) as client:
        return bids.audit_dataset(a.root, executor=client.get_executor(), **options)


class _Usage(Exception):
    pass


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    style = Style(sys.stdout)
    try:
        return _run(args, style, sys.stdout)
    except _Usage as problem:
        parser.error(str(problem))
    except ValueError as problem:
        # The module's messages are one line already; no traceback for refused input.
        print(f"quorvex: {problem}", file=sys.stderr)
        return EXIT_ERROR
    except BrokenPipeError:
        return EXIT_OK
    return EXIT_USAGE


if __name__ == "__main__":
    sys.exit(main())
