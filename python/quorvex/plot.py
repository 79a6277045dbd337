"""A picture of why a verdict was reached: a direction-encoded colour slice of the fitted field
and the coherence ranking of the candidate transforms. Needs matplotlib (``pip install
quorvex[plot]``)."""

from __future__ import annotations

import json
import os
from typing import Any

import numpy as np

from quorvex.glyphs import to_arrays


def plot(report: str | dict[str, Any], payload: dict[str, Any], *, axis: int = 2,
         index: int | None = None, top: int = 12, path: str | os.PathLike[str] | None = None):
    """Draws a |v1| RGB x FA slice (voxel axes) beside a bar chart of the best ``top``
    candidates' coherence, with the runner-up and the verdict marked.

    ``report`` is the JSON text (or its parsed dict) returned with ``payload`` by one of the
    ``*_with_glyphs`` functions. Returns the matplotlib figure; with ``path`` it is also saved.
    """
    try:
        import matplotlib
    except ModuleNotFoundError:
        raise ModuleNotFoundError("quorvex.plot needs matplotlib: pip install 'quorvex[plot]'",
                                  name="matplotlib") from None
    if path is not None:
        matplotlib.use("Agg", force=False)
    import matplotlib.pyplot as plt

    document = json.loads(report) if isinstance(report, str) else report
    flip = document["flip"]
    field = to_arrays(payload)
    index = field.fa.shape[axis] // 2 if index is None else index
    # Scaling by the reference signal darkens the background, whose noise fits look anisotropic.
    brightness = np.clip(field.s0 / max(float(np.percentile(field.s0, 99)), 1e-12), 0.0, 1.0)
    rgb = np.abs(field.v1_voxel) * (field.fa * brightness)[..., None]
    rgb = np.clip(np.take(rgb, index, axis=axis), 0.0, 1.0)
    # Rows of the picture run along the second remaining axis, so show the transpose with the
    # origin at the bottom, as radiological viewers do.
    picture = np.transpose(rgb, (1, 0, 2))

    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4.8),
                                      gridspec_kw={"width_ratios": [1, 1.3]})
    left.imshow(picture, origin="lower", interpolation="nearest")
    left.set_title(f"principal direction x FA (voxel axes), {'xyz'[axis]} = {index}")
    left.set_xticks([])
    left.set_yticks([])

    ranking = flip["ranking"][:top]
    labels = [c["label"] for c in ranking]
    values = [c["coherence"] for c in ranking]
    colours = ["#2a7" if c["label"] == flip["best"]["label"]
               else "#e80" if c["label"] == flip["runner_up"]["label"]
               else "#999" for c in ranking]
    right.barh(range(len(labels))[::-1], values, color=colours)
    right.set_yticks(range(len(labels))[::-1], labels, family="monospace")
    low = min(values) if values else 0.0
    right.set_xlim(max(0.0, low - 0.05), max(values + [0.0]) + 0.02)
    right.set_xlabel("coherence")
    right.set_title(f"{flip['decision']}: relative margin {100 * flip['relative_margin']:.2f}% "
                    f"(FLAG needs 2%)")
    fig.tight_layout()
    if path is not None:
        fig.savefig(os.fspath(path), dpi=110)
    return fig
