"""Quality control for diffusion MRI gradient tables.

Everything here comes from the compiled ``_quorvex`` module; this package re-exports it, taking
any ``os.PathLike`` (``pathlib.Path`` and the like) wherever the module takes a path.
"""

import functools as _functools
import os as _os

import _quorvex
from _quorvex import (
    __all__ as _native_all,
)
from quorvex.glyphs import GlyphField, to_arrays


def _paths_as_text(function):
    """``function`` with every path-like argument passed on as its ``os.fspath``; the module's
    own checks and messages then apply unchanged."""

    @_functools.wraps(function)
    def call(*args, **kwargs):
        args = [_os.fspath(a) if isinstance(a, _os.PathLike) else a for a in args]
        kwargs = {k: _os.fspath(v) if isinstance(v, _os.PathLike) else v
                  for k, v in kwargs.items()}
        return function(*args, **kwargs)

    return call


version = _quorvex.version
build_features = _quorvex.build_features
inspect = _paths_as_text(_quorvex.inspect)
audit = _paths_as_text(_quorvex.audit)
audit_with_glyphs = _paths_as_text(_quorvex.audit_with_glyphs)
audit_profiled = _paths_as_text(_quorvex.audit_profiled)
audit_profiled_with_glyphs = _paths_as_text(_quorvex.audit_profiled_with_glyphs)
audit_bids = _paths_as_text(_quorvex.audit_bids)
detect_flip = _paths_as_text(_quorvex.detect_flip)
detect_flip_with_glyphs = _paths_as_text(_quorvex.detect_flip_with_glyphs)
repair = _paths_as_text(_quorvex.repair)
repair_with_glyphs = _paths_as_text(_quorvex.repair_with_glyphs)
recompute_bval = _paths_as_text(_quorvex.recompute_bval)

__version__ = version()
__all__ = [
    "version",
    "build_features",
    "inspect",
    "audit",
    "audit_with_glyphs",
    "audit_profiled",
    "audit_profiled_with_glyphs",
    "audit_bids",
    "detect_flip",
    "detect_flip_with_glyphs",
    "repair",
    "repair_with_glyphs",
    "recompute_bval",
    "GlyphField",
    "to_arrays",
]
# The package re-exports the module's functions in the module's own order.
assert __all__[: len(_native_all)] == list(_native_all)
