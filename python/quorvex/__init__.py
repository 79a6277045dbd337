"""Quality control for diffusion MRI gradient tables.

The compiled ``_quorvex`` module's functions are re-exported unchanged; ``confirm_flip`` and the
command line add the confirmed flip verdict from the package's private module.
"""

import importlib.machinery
import importlib.util
import json as _json
import os as _os
import sys as _sys

import _quorvex
from _quorvex import (
    __all__ as _native_all,
)
from _quorvex import (
    audit,
    audit_bids,
    audit_profiled,
    audit_profiled_with_glyphs,
    audit_with_glyphs,
    build_features,
    detect_flip,
    detect_flip_with_glyphs,
    inspect,
    recompute_bval,
    repair,
    repair_with_glyphs,
    version,
)


def _load_private_module():
    # The private module lives in _quorvex's own shared object (one core, one worker pool per
    # process), so it is loaded from that file under the package's name.
    name = "quorvex._ext"
    if name in _sys.modules:
        return _sys.modules[name]
    loader = importlib.machinery.ExtensionFileLoader(name, _quorvex.__file__)
    spec = importlib.util.spec_from_file_location(name, _quorvex.__file__, loader=loader)
    module = importlib.util.module_from_spec(spec)
    _sys.modules[name] = module
    spec.loader.exec_module(module)
    return module


_ext = _load_private_module()

from quorvex.glyphs import GlyphField, to_arrays  # noqa: E402


def _path(value):
    return None if value is None else _os.fspath(value)


def confirm_flip(dwi, bvec=None, bval=None, grad=None, mask=None, shell=None):
    """The confirmed flip verdict of one acquisition, as a ``dict``.

    Short streamlines are tracked on a coherent anisotropic white-matter mask for each of the 24
    antipodal candidate classes of the table, from one tensor fit. ``decision`` is PASS or FLAG
    only when the best class wins clearly (``relative_gap``), under resampling of the seeds
    (``bootstrap_gap_5``), in every half of the seeds (``worst_half_gap``) and by the coherence
    index on the same mask (``coherence_agrees``); otherwise WARN, with ``reasons``.
    """
    text = _ext.confirm_flip(dwi=_os.fspath(dwi), bvec=_path(bvec), bval=_path(bval),
                             grad=_path(grad), mask=_path(mask), shell=shell)
    return _json.loads(text)


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
