"""The command line's human summaries, one function per command. Each returns its lines; every
text that comes from a file or the user goes through ``safe``."""

from __future__ import annotations

import shlex
from pathlib import Path
from typing import Any

from quorvex import verdict
from quorvex.terminal import Style, safe


def _scheme_lines(report: dict[str, Any], style: Style, status: str) -> list[str]:
    lines = [f"status: {style.status(status)}"]
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
    return lines


def _flip_lines(report: dict[str, Any], style: Style) -> list[str]:
    """The coherence verdict, then the confirmed one when the report carries it."""
    flip = report["flip"]
    best, runner = flip["best"], flip["runner_up"]
    title = "coherence verdict" if "confirmed" in report else "flip detection"
    lines = [
        f"{title}: {style.status(flip['decision'])} on b={flip['working_b']:g}, "
        f"{flip['n_wm_voxels']} voxels (mean FA {flip['mask_mean_fa']:.2f})",
        f"  best      {best['label']}  coherence {best['coherence']:.4f}",
        f"  runner-up {runner['label']}  coherence {runner['coherence']:.4f}",
        f"  identity  +x+y+z  coherence {flip['identity_coherence']:.4f}",
        f"  relative margin {100 * flip['relative_margin']:.2f}% (FLAG needs 2.00%)",
    ]
    if "confirmed" in report:
        lines += verdict.lines(report["confirmed"], style)
    return lines


def _deciding_flip(report: dict[str, Any]) -> dict[str, Any] | None:
    """The verdict the run's status comes from: the confirmed one when it was computed."""
    return report.get("confirmed") or report.get("flip")


def _notes(report: dict[str, Any]) -> list[str]:
    return [f"note: {safe(note)}" for note in report["notes"]]


def _suggested_name(path: str, suffix: str) -> str:
    p = Path(path)
    name = p.name
    for ext in (".bvec", ".bval", ".bvecs", ".bvals", ".b"):
        if name.endswith(ext):
            return str(p.with_name(name[: -len(ext)] + f"_repaired{ext}"))
    return str(p.with_name(name + f"_repaired{suffix}"))


def repair_command(a) -> str:
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
    return safe(" ".join(shlex.quote(w) for w in words))


def inspect_summary(report: dict[str, Any], status: str, style: Style, a) -> list[str]:
    return _scheme_lines(report, style, status) + _notes(report)


def audit_summary(report: dict[str, Any], status: str, style: Style, a,
                  timings: dict[str, float] | None = None) -> list[str]:
    lines = _scheme_lines(report, style, status)
    flip = report.get("flip")
    if flip:
        lines += _flip_lines(report, style)
    elif getattr(a, "dwi", None) is None:
        lines.append("flip detection: not run (no image given; pass the DWI to check the "
                     "table against it)")
    lines += _notes(report)
    decider = _deciding_flip(report)
    if decider and decider["decision"] == "FLAG":
        lines.append(f"repair with: {repair_command(a)}")
    if timings is not None:
        lines.append("stages (s): " + "  ".join(f"{k} {v:.3f}" for k, v in timings.items()))
    return lines


def repair_summary(report: dict[str, Any], status: str, style: Style, a) -> list[str]:
    lines = _scheme_lines(report, style, status)
    if report.get("flip"):
        lines += _flip_lines(report, style)
    repair = report.get("repair")
    if repair:
        written = ", ".join(map(safe, repair["outputs"])) or "nothing (dry run)"
        lines.append(f"repair: applied {repair['label']}; wrote {written}")
    return lines + _notes(report)


def recompute_summary(summary: dict[str, Any]) -> list[str]:
    def shells(rows):
        return ", ".join(f"b={r['nominal_b']:g} x{r['count']}" for r in rows)

    written = ", ".join(map(safe, summary["outputs"])) or "nothing (dry run)"
    return [f"nominal b {summary['b_nominal']:g}, largest |g| {summary['max_norm']:.4f}",
            f"before: {shells(summary['before'])}",
            f"after:  {shells(summary['after'])}",
            f"wrote: {written}"]


def bids_summary(audit, status: str, style: Style) -> list[str]:
    """One line per run (audited, failed, skipped), then the counts of every status."""
    lines = [f"  {style.status(s)}   {safe(name)}" if isinstance(s, str) else
             f"  {style.status('ERROR')}  {safe(name)}: {safe(s.file)}: {safe(s.reason)}"
             for name, _, s in audit.runs]
    lines += [f"  SKIP   {safe(s.dwi)}: {s.reason}" for s in audit.skipped]
    counts = {k: sum(1 for *_, s in audit.results if s == k) for k in ("PASS", "WARN", "FLAG")}
    lines.append(f"dataset status: {style.status(status)} ({len(audit.results)} audited: "
                 f"{counts['PASS']} PASS, {counts['WARN']} WARN, {counts['FLAG']} FLAG; "
                 f"{len(audit.failures)} failed, {len(audit.skipped)} skipped)")
    lines.append(f"summary: {safe(audit.summary_path)}")
    return lines
