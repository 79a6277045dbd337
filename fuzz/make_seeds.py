"""Writes seed inputs for the fuzz targets: small synthetic files, plus the real tables and
image headers from ../shared/data when that folder is present. Nothing here is committed."""

import gzip
import struct
import sys
from pathlib import Path

SHARED = Path(__file__).resolve().parents[2] / "shared" / "data"
# Real images are far larger than a useful fuzz input; their headers and first samples are
# enough to seed the header decoder with real field values.
IMAGE_PREFIX = 352 + 4096


def nifti(dims, datatype, bitpix, data, *, swap=False, vox_offset=352.0, sform=0, qform=0,
          slope=0.0, inter=0.0):
    """A single-file NIfTI-1 header laid out field by field, then the data."""
    e = ">" if swap else "<"
    dim = list(dims) + [1] * (7 - len(dims))
    header = bytearray(348)
    struct.pack_into(e + "i", header, 0, 348)
    struct.pack_into(e + "8h", header, 40, len(dims), *dim)
    struct.pack_into(e + "hh", header, 70, datatype, bitpix)
    struct.pack_into(e + "8f", header, 76, 1.0, 2.0, 2.0, 2.5, 1.0, 1.0, 1.0, 1.0)
    struct.pack_into(e + "f", header, 108, vox_offset)
    struct.pack_into(e + "ff", header, 112, slope, inter)
    struct.pack_into(e + "hh", header, 252, qform, sform)
    struct.pack_into(e + "6f", header, 256, 0.0, 0.0, 1.0, -10.0, 12.0, 4.0)
    struct.pack_into(e + "12f", header, 280, 2, 0, 0, -1, 0, 2, 0, -2, 0, 0, 2.5, -3)
    header[344:348] = b"n+1\0"
    pad = b"\0" * (int(vox_offset or 352) - 348)
    return bytes(header) + pad + data


def synthetic():
    fsl = {
        "axis_rows": b"1 0 0\n0 1 0\n0 0 1\n",
        "volume_rows": b"1 0 0\r\n0 1 0\r\n\r\n0 0 1\r\n",
        "bval": b"0 1000 1000 2000\n",
        "numbers": b"+1. .5 -2e-3 1E+300 4.9e-324 inf -Infinity nan NaN 0007 -0\n",
        "unicode_space": "1\u00a00\u20000\u30001\n".encode(),
        "bad_token": b"1,0,0\n0 1 0\n",
    }
    mrtrix = {
        "rows": b"# comment\n1 0 0 0\n0 1 0 1000\n0 0 1 1000 # trailing\n",
        "short": b"1 0 0\n",
        "crlf": b"  0.5 0.5 0.7071 3000\r\n\r\n#x\r\n",
    }
    voxels = struct.pack("<24h", *range(24))
    images = {
        "int16": nifti((2, 3, 4), 4, 16, voxels),
        "float32_4d": nifti((2, 2, 1, 3), 16, 32, struct.pack("<12f", *range(12)), sform=1),
        "swapped_uint8": nifti((3, 2, 2), 2, 8, bytes(range(12)), swap=True, qform=1),
        "scaled_float64": nifti((2, 2), 64, 64, struct.pack("<4d", 1, 2, 3, 4), slope=2.0,
                                inter=1.0),
        "odd_offset": nifti((2, 2, 1), 512, 16, struct.pack("<4H", 1, 2, 3, 4), vox_offset=353.0),
    }
    for name, data in list(images.items()):
        images[name + "_gz"] = gzip.compress(data, mtime=0)
    # The fuzzer gzips the rest of an input whose first byte is odd, a plain input otherwise.
    images = {name: b"\0" + data for name, data in images.items()}
    images.update({"int16_via_gzip": b"\x0d" + nifti((2, 3, 4), 4, 16, voxels)})
    json_seeds = {
        "empty": b"",
        "mixed": bytes(range(256)),
    }
    return {"fsl_fuzzer": fsl, "mrtrix_fuzzer": mrtrix, "nifti_fuzzer": images,
            "json_fuzzer": json_seeds}


def real():
    seeds = {"fsl_fuzzer": {}, "mrtrix_fuzzer": {}, "nifti_fuzzer": {}, "bids_sidecar_fuzzer": {}}
    if not SHARED.is_dir():
        return seeds
    for path in sorted(SHARED.glob("**/*.json")):
        if path.is_file() and path.stat().st_size <= 64 * 1024:
            name = "_".join(path.relative_to(SHARED).parts).replace(".", "_")
            seeds["bids_sidecar_fuzzer"]["real_" + name] = path.read_bytes()
    for path in sorted(SHARED.glob("real/*/*")):
        if not path.is_file() or path.stat().st_size > 64 * 1024 and "nii" not in path.name:
            continue
        name = path.name.replace(".", "_")
        if path.suffix in (".bval", ".bvec") or path.name.endswith(".bvec.txt"):
            seeds["fsl_fuzzer"]["real_" + name] = path.read_bytes()
        elif path.suffix == ".b":
            seeds["mrtrix_fuzzer"]["real_" + name] = path.read_bytes()
        elif path.name.endswith(".nii.gz"):
            with gzip.open(path) as stream:
                prefix = stream.read(IMAGE_PREFIX)
            seeds["nifti_fuzzer"]["real_" + name] = b"\0" + prefix
            seeds["nifti_fuzzer"]["real_gz_" + name] = b"\x0d" + prefix
    return seeds


def main(out):
    for source in (synthetic(), real()):
        for target, files in source.items():
            folder = Path(out) / target
            folder.mkdir(parents=True, exist_ok=True)
            for name, data in files.items():
                (folder / name).write_bytes(data)


if __name__ == "__main__":
    main(sys.argv[1])
