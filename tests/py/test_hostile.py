"""Hostile inputs at the boundary: crafted images, tables and paths. Every call ends in a
documented one-line ValueError or a sound JSON report, never a crash or a hang."""

import gzip
import json
import os
import struct
import subprocess
import sys

import numpy as np
import pytest

import _quorvex
from synthetic import make_subject, write_fsl

DOCUMENTED_PREFIXES = ("I/O error: ", "NIfTI error: ", "JSON error: ", "failed to parse ",
                       "gradient table mismatch: ", "volume mismatch: ", "mask grid mismatch: ",
                       "DTI fit failed: ", "no usable non-b0 shell for flip detection",
                       "amplitude-encoded bvecs (--strict): ", "refusing to overwrite ")

# Seven volumes: one b0 and six non-collinear directions, enough for a tensor fit.
DIRS = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1], [0.7071, 0.7071, 0],
                 [0.7071, 0, 0.7071], [0, 0.7071, 0.7071]])
BVALS = np.array([0.0] + [1000.0] * 6)
SHAPE = (4, 4, 3, 7)


def nifti(dims=SHAPE, datatype=4, bitpix=16, data=None, *, slope=0.0, inter=0.0):
    """A single-file NIfTI-1 image of 2 mm voxels laid out byte by byte."""
    header = bytearray(348)
    struct.pack_into("<i", header, 0, 348)
    struct.pack_into("<8h", header, 40, len(dims), *dims, *[1] * (7 - len(dims)))
    struct.pack_into("<hh", header, 70, datatype, bitpix)
    struct.pack_into("<8f", header, 76, 1.0, 2.0, 2.0, 2.0, 1.0, 1.0, 1.0, 1.0)
    struct.pack_into("<3f", header, 108, 352.0, slope, inter)
    header[344:348] = b"n+1\0"
    if data is None:
        data = (np.arange(int(np.prod(dims))) % 97 + 3).astype("<i2").tobytes()
    return bytes(header) + b"\0" * 4 + data


def gz(data):
    return gzip.compress(data, mtime=0)


def table(folder):
    return dict(zip(("bvec", "bval"), write_fsl(folder, DIRS, BVALS)))


def outcome(call):
    """The JSON report of a sound result, or the text of a documented ValueError."""
    try:
        text = call()
    except ValueError as error:
        message = str(error)
        assert message.startswith(DOCUMENTED_PREFIXES), message
        assert "\n" not in message and len(message) < 1000
        return message
    report = json.loads(text, parse_constant=lambda c: pytest.fail(f"non-JSON constant {c}"))
    assert isinstance(report, dict)
    return report


GOOD = nifti()

# Each refused through both arguments; the reader's refusals and their texts are volume_test's.
BAD_IMAGES = {
    "empty": b"",
    "gzip terabyte claim": gz(nifti(dims=(32767, 32767, 32767, 100), datatype=64, bitpix=64,
                                    data=b"")),
    "random bytes": bytes(np.random.default_rng(7).integers(0, 256, 2000, dtype=np.uint8)),
}


@pytest.mark.parametrize("argument", ["dwi", "mask"])
@pytest.mark.parametrize("data", BAD_IMAGES.values(), ids=BAD_IMAGES)
def test_bad_image_is_a_nifti_error(tmp_path, data, argument):
    (tmp_path / "good.nii").write_bytes(GOOD)
    (tmp_path / "bad.nii").write_bytes(data)
    kw = {"dwi": str(tmp_path / "good.nii"), argument: str(tmp_path / "bad.nii")}
    result = outcome(lambda: _quorvex.audit(**kw, **table(tmp_path)))
    assert isinstance(result, str) and result.startswith("NIfTI error: ")


def float_image(fill, where):
    data = np.full(SHAPE, 100.0, "<f4")
    data[..., 1:] *= np.linspace(0.3, 0.6, 6)
    data[{"everywhere": np.s_[...], "one voxel": np.s_[1, 1, 1, :], "b0": np.s_[..., 0]}[where]] = fill
    return nifti(datatype=16, bitpix=32, data=data.tobytes())


# Non-finite and huge samples, stored or made by the scaling, must still give valid JSON.
ODD_SAMPLES = {f"{fill} {where}": float_image(fill, where)
               for fill in (np.nan, np.inf, -np.inf, 3.4e38) for where in ("everywhere", "one voxel", "b0")}
ODD_SAMPLES |= {f"slope {s} inter {i}": nifti(slope=s, inter=i)
                for s, i in ((np.nan, 0.0), (np.inf, 1.0), (2.0, np.nan), (1e38, 1e38))}


@pytest.mark.parametrize("data", ODD_SAMPLES.values(), ids=ODD_SAMPLES)
def test_odd_samples_give_a_sound_report_or_a_documented_error(tmp_path, data):
    path = tmp_path / "dwi.nii"
    path.write_bytes(data)
    result = outcome(lambda: _quorvex.audit(dwi=str(path), **table(tmp_path)))
    assert isinstance(result, str) or result["status"] in ("PASS", "WARN", "FLAG")


def write(path, data):
    path.write_bytes(data if isinstance(data, bytes) else data.encode())
    return str(path)


# The parsers' refusals and their texts are the C++ suite's; here each ends cleanly.
TABLES = {
    "empty": {"bvec": b"", "bval": b""},
    "infinities": {"bvec": b"inf -inf\n1e309 -1e309\n0 0\n", "bval": b"1e400 -inf"},
    "utf-16": {"bvec": b"1 0 0\n", "bval": b"\xff\xfe1\x000\x00"},
    "huge bad token": {"bvec": b"1 0 0\n", "bval": b"x" * 300000},
    "binary": {"bvec": bytes(range(256)), "bval": b"0"},
    "grad trailing text": {"grad": b"1 0 0 1000 anything \xc3\xa9 here\n"},
    "grad bare cr": {"grad": b"\r\n\r\n1 0 0 0\r"},
}


@pytest.mark.parametrize("files", TABLES.values(), ids=TABLES)
def test_crafted_tables(tmp_path, files):
    result = outcome(lambda: _quorvex.inspect(**{k: write(tmp_path / f"t.{k}", v)
                                                 for k, v in files.items()}))
    if isinstance(result, dict):
        assert len(result["scheme"]["directions"]) == len(result["scheme"]["bvals"])


@pytest.mark.parametrize("kind", ["mostly b0", "nan"])
def test_a_million_volumes(tmp_path, kind):
    n = 1_000_000
    if kind == "mostly b0":
        bvals = ["0"] * (n - 30) + ["1000"] * 30
        dirs = np.vstack([np.zeros((n - 30, 3)), np.eye(3)[np.arange(30) % 3]
                          + np.arange(30)[:, None] * 0.01])
        bvec = "\n".join(" ".join(f"{x:g}" for x in row) for row in dirs.T)
    else:
        bvals = ["nan"] * n
        bvec = "\n".join([" ".join(["nan"] * n)] * 3)
    paths = {"bvec": write(tmp_path / "t.bvec", bvec),
             "bval": write(tmp_path / "t.bval", " ".join(bvals))}
    assert len(outcome(lambda: _quorvex.inspect(**paths))["scheme"]["bvals"]) == n


READERS = {"dwi": "NIfTI error: ", "mask": "NIfTI error: ", "bvec": "I/O error: ",
           "bval": "I/O error: ", "grad": "I/O error: "}
NOT_FILES = {"missing": "No such file or directory (os error 2)",
             "directory": "Is a directory (os error 21)",
             "/dev/null": "not a regular file", "fifo": "not a regular file"}


@pytest.fixture(scope="module")
def refusals(tmp_path_factory):
    """What each reader says to each thing that is not a file, found in a child so that a
    reader that blocks on the FIFO fails the tests instead of hanging the suite."""
    folder = tmp_path_factory.mktemp("refusals")
    os.mkfifo(folder / "pipe")
    good = {"dwi": write(folder / "dwi.nii", GOOD), **table(folder)}
    places = {"missing": str(folder / "absent"), "directory": str(folder),
              "/dev/null": "/dev/null", "fifo": str(folder / "pipe")}
    calls = {f"{reader} {kind}": {**good, reader: place}
             for reader in READERS for kind, place in places.items()}
    script = ("import json, sys, _quorvex\n"
              "out = {}\n"
              "for name, kw in json.loads(sys.argv[1]).items():\n"
              "    try:\n"
              "        _quorvex.audit(**kw); out[name] = 'ok'\n"
              "    except ValueError as e:\n"
              "        out[name] = str(e)\n"
              "print(json.dumps(out))\n")
    done = subprocess.run([sys.executable, "-c", script, json.dumps(calls)],
                          capture_output=True, text=True, timeout=60, check=True)
    return json.loads(done.stdout)


@pytest.mark.parametrize("kind", NOT_FILES)
@pytest.mark.parametrize("reader", READERS)
def test_what_is_not_a_regular_file_is_refused_without_blocking(refusals, reader, kind):
    assert refusals[f"{reader} {kind}"] == READERS[reader] + NOT_FILES[kind]


def test_undecodable_paths_reach_the_real_files(tmp_path):
    """Names that are not UTF-8 arrive as surrogate-escaped str, reach the real files, and are
    shown with replacement characters."""
    folder = os.path.join(os.fsencode(tmp_path), b"sub-\xff\xfe-\xc3(.x")
    os.mkdir(folder)
    subject = make_subject(tmp_path)
    paths = {name: os.fsdecode(os.path.join(folder, name.encode()))
             for name in ("bad.bvec", "bad.bval", "r.bvec", "r.bval", "p.json")}
    write_fsl(tmp_path, subject["dirs"] * np.array([-1.0, 1.0, 1.0]), subject["bvals"], "bad")
    for name in ("bad.bvec", "bad.bval"):
        os.rename(tmp_path / name, os.fsencode(paths[name]))
    report = json.loads(_quorvex.repair(
        subject["dwi"], bvec=paths["bad.bvec"], bval=paths["bad.bval"], out_bvec=paths["r.bvec"],
        out_bval=paths["r.bval"], provenance=paths["p.json"]))
    assert report["flip"]["decision"] == "FLAG" and len(report["repair"]["outputs"]) == 2
    assert sum("\ufffd" in i["path"] for i in report["inputs"]) == 2
    for name in (b"r.bvec", b"r.bval", b"p.json"):
        assert os.path.isfile(os.path.join(folder, name))
    with open(os.path.join(folder, b"p.json"), "rb") as f:
        json.loads(f.read().decode("utf-8"))
