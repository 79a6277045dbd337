"""A NIfTI-1 writer for the phantom: the 348-byte header packed with :mod:`struct`, so only numpy
is needed."""

from __future__ import annotations

import gzip
import os
import struct

import numpy as np

_NIFTI_TYPES = {np.dtype(np.uint8): 2, np.dtype(np.int16): 4, np.dtype(np.float32): 16}


def _quaternion(affine: np.ndarray) -> tuple[tuple[float, float, float], float, np.ndarray]:
    """Quaternion (b, c, d), qfac and voxel sizes of the affine's rotation part.

    The rotation is the nearest orthogonal matrix to the column-normalised block (polar
    decomposition), which is exact for an affine without shear; a reflection is carried by
    qfac = -1 on the third axis, as the NIfTI-1 standard prescribes.
    """
    a3 = np.asarray(affine, dtype=np.float64)[:3, :3]
    sizes = np.linalg.norm(a3, axis=0)
    sizes = np.where(sizes > 0, sizes, 1.0)
    u, _, vt = np.linalg.svd(a3 / sizes)
    r = u @ vt
    qfac = 1.0
    if np.linalg.det(r) < 0:
        qfac = -1.0
        r[:, 2] = -r[:, 2]
    # Shepperd's method: solve for the largest of the four components first, for stability.
    trace = np.trace(r)
    which = int(np.argmax([trace, r[0, 0], r[1, 1], r[2, 2]]))
    if which == 0:
        a = 0.5 * np.sqrt(1.0 + trace)
        b, c, d = np.array([r[2, 1] - r[1, 2], r[0, 2] - r[2, 0], r[1, 0] - r[0, 1]]) / (4 * a)
    elif which == 1:
        b = 0.5 * np.sqrt(1.0 + r[0, 0] - r[1, 1] - r[2, 2])
        a, c, d = np.array([r[2, 1] - r[1, 2], r[0, 1] + r[1, 0], r[0, 2] + r[2, 0]]) / (4 * b)
    elif which == 2:
        c = 0.5 * np.sqrt(1.0 + r[1, 1] - r[0, 0] - r[2, 2])
        a, b, d = np.array([r[0, 2] - r[2, 0], r[0, 1] + r[1, 0], r[1, 2] + r[2, 1]]) / (4 * c)
    else:
        d = 0.5 * np.sqrt(1.0 + r[2, 2] - r[0, 0] - r[1, 1])
        a, b, c = np.array([r[1, 0] - r[0, 1], r[0, 2] + r[2, 0], r[1, 2] + r[2, 1]]) / (4 * d)
    # The header stores b, c, d only and rebuilds a as +sqrt(1 - b^2 - c^2 - d^2).
    if a < 0:
        b, c, d = -b, -c, -d
    return (float(b), float(c), float(d)), qfac, sizes


def _nifti_header(shape: tuple[int, ...], dtype: np.dtype, affine: np.ndarray) -> bytes:
    affine = np.asarray(affine, dtype=np.float64)
    (qb, qc, qd), qfac, sizes = _quaternion(affine)
    dim = [len(shape), *shape] + [1] * (7 - len(shape))
    pixdim = [qfac, *sizes] + [0.0] * 4
    header = bytearray(348)
    struct.pack_into("<i", header, 0, 348)
    header[38] = ord("r")  # "regular", kept for ANALYZE readers
    struct.pack_into("<8h", header, 40, *dim)
    struct.pack_into("<hhh", header, 70, _NIFTI_TYPES[dtype], dtype.itemsize * 8, 0)
    struct.pack_into("<8f", header, 76, *pixdim)
    struct.pack_into("<fff", header, 108, 352.0, 1.0, 0.0)  # vox_offset, scl_slope, scl_inter
    header[123] = 2  # xyzt_units: millimetres, no time unit
    header[148 : 148 + 15] = b"quorvex phantom"
    struct.pack_into("<hh", header, 252, 1, 1)  # qform_code, sform_code: scanner anatomical
    struct.pack_into("<6f", header, 256, qb, qc, qd, *affine[:3, 3])
    struct.pack_into("<12f", header, 280, *affine[:3, :].ravel())
    header[344:348] = b"n+1\0"
    return bytes(header) + b"\0\0\0\0"  # empty extension flag pads to vox_offset 352


def write_nifti(
    path: str | os.PathLike[str],
    data: np.ndarray,
    affine: np.ndarray,
    compresslevel: int = 6,
) -> None:
    """Write a little-endian single-file NIfTI-1 image; gzip-compressed when ``path`` ends in .gz.

    ``data`` is 3-D or 4-D, of dtype int16, uint8 or float32, indexed (i, j, k[, volume]).
    Both the sform and the qform are set to ``affine`` (code 1); the qform keeps only the
    rotation, voxel sizes and offset, so it equals the affine exactly when the affine has no
    shear. ``scl_slope`` is 1 and ``vox_offset`` 352. The gzip stream carries no name and a zero
    time stamp, so equal inputs give byte-identical files.
    """
    array = np.asarray(data)
    if array.dtype.newbyteorder("<") not in _NIFTI_TYPES or array.ndim not in (3, 4):
        raise ValueError(
            f"expected 3-D or 4-D int16, uint8 or float32 data, got {array.ndim}-D {array.dtype}"
        )
    dtype = array.dtype.newbyteorder("<")
    header = _nifti_header(array.shape, np.dtype(dtype.type), affine)
    volumes = array.reshape(array.shape[:3] + (-1,), order="F")
    with open(path, "wb") as raw:
        fh = (
            gzip.GzipFile(filename="", mode="wb", fileobj=raw, compresslevel=compresslevel, mtime=0)
            if str(path).endswith(".gz")
            else raw
        )
        try:
            fh.write(header)
            for v in range(volumes.shape[3]):
                fh.write(volumes[:, :, :, v].astype(dtype, copy=False).tobytes(order="F"))
        finally:
            if fh is not raw:
                fh.close()
