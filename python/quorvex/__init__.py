"""Quality control for diffusion MRI gradient tables.

The compiled ``_quorvex`` module's functions are re-exported, taking any ``os.PathLike``
(``pathlib.Path`` and the like) wherever the module takes a path; ``confirm_flip`` adds the
confirmed flip verdict from the package's private module.
"""

import functools as _functools
import importlib.machinery as _machinery
import importlib.util as _util
import json as _json
import os as _os
import sys as _sys

import _quorvex
from _quorvex import (
    __all__ as _native_all,
)


def _load_private_module():
    # The private module lives in _quorvex's own shared object (one core, one worker pool per
    # process), so it is loaded from that file under the package's name.
    name = "quorvex._ext"
    if name in _sys.modules:
        return _sys.modules[name]
    loader = _machinery.ExtensionFileLoader(name, _quorvex.__file__)
    spec = _util.spec_from_file_location(name, _quorvex.__file__, loader=loader)
    module = _util.module_from_spec(spec)
    _sys.modules[name] = module
    spec.loader.exec_module(module)
    return module


_ext = _load_private_module()

from quorvex.glyphs import GlyphField, to_arrays  # noqa: E402


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


@_paths_as_text
def confirm_flip(dwi, bvec=None, bval=None, grad=None, mask=None, shell=None):
    """The confirmed flip verdict of one acquisition, as a ``dict``.

    Short streamlines are tracked on a coherent anisotropic white-matter mask for each of the 24
    antipodal candidate classes of the table, from one tensor fit. ``decision`` is PASS or FLAG
    only when the best class wins clearly (``relative_gap``), under resampling of the seeds
    (``bootstrap_gap_5``), in every half of the seeds (``worst_half_gap``) and by the coherence
    index on the same mask (``coherence_agrees``); otherwise WARN, with ``reasons``.
    """
    return _json.loads(_ext.confirm_flip(dwi=dwi, bvec=bvec, bval=bval, grad=grad, mask=mask,
                                         shell=shell))


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
    "confirm_flip",
]
# The package re-exports the module's functions in the module's own order.
assert __all__[: len(_native_all)] == list(_native_all)
