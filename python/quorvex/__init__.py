"""Quality control for diffusion MRI gradient tables.

Everything here comes from the compiled ``_quorvex`` module; this package re-exports it.
"""

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
from quorvex.glyphs import GlyphField, to_arrays

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
