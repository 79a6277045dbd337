"""Quality control for diffusion MRI gradient tables.

Everything here comes from the compiled ``_quorvex`` module; this package re-exports it.
"""

from _quorvex import (
    __all__ as _native_all,
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
__all__ = [*_native_all, "GlyphField", "to_arrays"]
