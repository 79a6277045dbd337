"""The command line's checks before a call: every given path exists and can be read (or, for an
output, its folder exists), and every number and mask makes sense. Each refusal is one line
naming the option or the file."""

from __future__ import annotations

import gzip
import math
import os
import stat
import struct
from argparse import Namespace

import _quorvex


class UsageError(Exception):
    """A command line that cannot mean anything: exit 2."""


class Refused(ValueError):
    """An input that is missing or unreadable: exit 1."""


INPUTS = (("dwi", "DWI"), ("bvec", "bvec file"), ("bval", "bval file"), ("grad", "gradient file"),
          ("mask", "mask"))
OUTPUTS = ("out_bvec", "out_bval", "out_grad", "provenance")


def check_input(label: str, path: str, *, folder: bool = False) -> None:
    try:
        info = os.stat(path)
    except FileNotFoundError:
        raise Refused(f"{label} {path}: no such file or directory") from None
    except OSError as problem:
        raise Refused(f"{label} {path}: {problem.strerror or problem}") from None
    if stat.S_ISDIR(info.st_mode) != folder:
        raise Refused(f"{label} {path}: " + ("not a folder" if folder else "is a folder"))
    if not os.access(path, os.R_OK | (os.X_OK if folder else 0)):
        raise Refused(f"{label} {path}: permission denied")


def check_paths(a: Namespace) -> None:
    for name, label in INPUTS:
        path = getattr(a, name, None)
        if path is not None:
            check_input(label, path)
    for name in OUTPUTS:
        path = getattr(a, name, None)
        if path is None:
            continue
        folder = os.path.dirname(path) or "."
        if not os.path.isdir(folder):
            raise Refused(f"--{name.replace('_', '-')} {path}: the folder {folder} does not exist")


def _number(a: Namespace, name: str, *, positive: bool) -> None:
    value = getattr(a, name, None)
    if value is None:
        return
    flag = "--" + name.replace("_", "-")
    if not math.isfinite(value) or value < 0 or (positive and value == 0):
        need = "a finite number above 0" if positive else "a finite number, 0 or more"
        raise UsageError(f"{flag} must be {need}, not {value:g}")


def check_numbers(a: Namespace) -> None:
    for name in ("step", "shell"):
        _number(a, name, positive=True)
    for name in ("tolerance", "b0_threshold", "norm_tolerance"):
        _number(a, name, positive=False)
    for name in ("jobs", "threads"):
        value = getattr(a, name, None)
        if value is not None and value < 1:
            raise UsageError(f"--{name} must be at least 1, not {value}")


def check_shell(a: Namespace) -> None:
    """``--shell`` names a shell of the table: within the grouping tolerance of its b-value."""
    if getattr(a, "shell", None) is None:
        return
    import json

    report = json.loads(_quorvex.inspect(bvec=a.bvec, bval=a.bval, grad=a.grad,
                                         tolerance=a.tolerance, b0_threshold=a.b0_threshold))
    shells = [s["nominal_b"] for s in report["shells"]["shells"] if not s["is_b0"]]
    if not any(abs(a.shell - b) <= max(a.tolerance * b, 0.5) for b in shells):
        found = ", ".join(f"b={b:g}" for b in shells) or "none"
        raise UsageError(f"--shell {a.shell:g} matches no shell of the table (shells: {found})")


def nifti_shape(path: str) -> tuple[int, ...] | None:
    """The dimensions a NIfTI-1 header states, or None when the header cannot be read here (the
    module then says what is wrong with the file)."""
    try:
        # Only a regular file: opening a FIFO would wait for a writer.
        if not stat.S_ISREG(os.stat(path).st_mode):
            return None
        with open(path, "rb") as raw:
            magic = raw.read(2)
            raw.seek(0)
            if magic == b"\x1f\x8b":
                with gzip.open(raw) as unpacked:
                    header = unpacked.read(348)
            else:
                header = raw.read(348)
    except (OSError, EOFError, gzip.BadGzipFile):
        return None
    if len(header) < 348:
        return None
    for order in "<>":
        if struct.unpack(order + "i", header[:4])[0] == 348:
            dim = struct.unpack(order + "8h", header[40:56])
            return tuple(dim[1: 1 + dim[0]]) if 1 <= dim[0] <= 7 else None
    return None


def check_mask(a: Namespace) -> None:
    """A mask is 3-D (trailing unit dimensions allowed) and on the image's voxel grid."""
    if getattr(a, "mask", None) is None:
        return
    mask = nifti_shape(a.mask)
    if mask is None:
        return
    while len(mask) > 3 and mask[-1] == 1:
        mask = mask[:-1]
    shown = "x".join(map(str, mask))
    if len(mask) != 3:
        raise UsageError(f"--mask {a.mask}: a mask must be 3-D, this one is {shown}")
    image = nifti_shape(a.dwi) if getattr(a, "dwi", None) else None
    if image is not None and tuple(image[:3]) != mask:
        grid = "x".join(map(str, image[:3]))
        raise UsageError(f"--mask {a.mask}: its grid {shown} is not the image's grid {grid}")
