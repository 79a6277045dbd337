"""The confirmed flip verdict as the command line shows it: merged reports, words, summary lines.

The public module's report keeps its meaning; the confirmed verdict travels beside it under the
keys ``confirmed`` (the verdict) and ``confirmed_status`` (the run's status with it).
"""

from __future__ import annotations

import json
from typing import Any

_AXES = "xyz"


def merge(report_text: str, confirmed_text: str, status: str) -> dict[str, Any]:
    """The report with the confirmed verdict and the run's status added under their own keys."""
    report = json.loads(report_text)
    report["confirmed"] = json.loads(confirmed_text)
    report["confirmed_status"] = status
    return report


def describe(label: str) -> str:
    """What a candidate label such as ``-x+y+z`` or ``+y+x+z`` does to a table, in words.

    Output axis r takes input axis ``label[2r + 1]`` with sign ``label[2r]``.
    """
    source = [label[2 * r + 1] for r in range(3)]
    negated = [label[2 * r] == "-" for r in range(3)]
    parts = []
    moved = [_AXES[r] for r in range(3) if source[r] != _AXES[r]]
    if len(moved) == 2:
        parts.append(f"the table's {moved[0]} and {moved[1]} axes are swapped")
    elif len(moved) == 3:
        order = ", ".join(f"{_AXES[r]} from {source[r]}" for r in range(3))
        parts.append(f"the table's axes are rotated ({order})")
    flipped = [_AXES[r] for r in range(3) if negated[r]]
    if flipped:
        # Mirroring every axis changes no diffusion direction's axis; that class also holds the
        # identity, so only one or two mirrored axes reach here.
        axes = " and ".join(flipped)
        verb = "axis is" if len(flipped) == 1 else "axes are"
        parts.append(f"the table's {axes} {verb} mirrored")
    if not parts:
        return "the table is right as it is"
    return "; ".join(parts)


def lines(confirmed: dict[str, Any], style) -> list[str]:
    """The human summary of a confirmed verdict."""
    best, runner = confirmed["best"], confirmed["runner_up"]
    out = [
        f"confirmed verdict: {style.status(confirmed['decision'])} from {confirmed['seeds']} "
        f"seeds on {confirmed['mask_voxels']} coherent voxels",
        f"  best      {best['label']}  streamlines {best['mean_length_mm']:.1f} mm",
        f"  runner-up {runner['label']}  streamlines {runner['mean_length_mm']:.1f} mm",
        f"  relative gap {confirmed['relative_gap']:.3f} (bootstrap 5% "
        f"{confirmed['bootstrap_gap_5']:.3f}, worst seed half {confirmed['worst_half_gap']:.3f}); "
        "coherence "
        f"{'agrees' if confirmed['coherence_agrees'] else 'disagrees'}",
    ]
    if confirmed["decision"] == "FLAG":
        out.append(f"  meaning: {describe(confirmed['recommended_label'])}")
    out += [f"  why WARN: {reason}" for reason in confirmed["reasons"]]
    return out
