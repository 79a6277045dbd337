"""Hostile inputs: crafted images, tables, paths and outputs. Every call must end in the
documented ValueError or a sound result, never a crash, a hang or a half-reported write."""

import gzip
import json
import os
import struct
import subprocess
import sys
from pathlib import Path

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


def nifti(dims=SHAPE, datatype=4, bitpix=16, data=None, *, order="<", sizeof_hdr=348,
          magic=b"n+1\0", vox_offset=352.0, pixdim=(1.0, 2.0, 2.0, 2.0), sform=0, qform=0,
          srow=None, quatern=(0.0, 0.0, 0.0, 0.0, 0.0, 0.0), slope=0.0, inter=0.0, dim0=None):
    """A single-file NIfTI-1 image laid out byte by byte, so any field can be made wrong."""
    dim = [len(dims) if dim0 is None else dim0] + list(dims) + [1] * (7 - len(dims))
    header = bytearray(348)
    struct.pack_into(order + "i", header, 0, sizeof_hdr)
    struct.pack_into(order + "8h", header, 40, *dim)
    struct.pack_into(order + "hh", header, 70, datatype, bitpix)
    struct.pack_into(order + "8f", header, 76, 1.0, *pixdim, 1.0, 1.0, 1.0)
    struct.pack_into(order + "f", header, 108, vox_offset)
    struct.pack_into(order + "ff", header, 112, slope, inter)
    struct.pack_into(order + "hh", header, 252, qform, sform)
    struct.pack_into(order + "6f", header, 256, *quatern)
    struct.pack_into(order + "12f", header, 280, *(srow or (2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0)))
    header[344:348] = magic
    if data is None:
        count = int(np.prod(dims))
        data = (np.arange(count) % 97 + 3).astype(order + "i2").tobytes()
    # Offsets the reader must refuse get the usual four bytes of padding.
    sane = vox_offset == int(vox_offset) if 348 <= vox_offset <= 1e6 else False
    pad = b"\0" * (int(vox_offset) - 348 if sane else 4)
    return bytes(header) + pad + data


def gz(data):
    return gzip.compress(data, mtime=0)


def gzip_with(data, *, crc=None, isize=None):
    """A gzip member whose trailer can lie."""
    out = bytearray(gz(data))
    if crc is not None:
        struct.pack_into("<I", out, len(out) - 8, crc)
    if isize is not None:
        struct.pack_into("<I", out, len(out) - 4, isize)
    return bytes(out)


def table(folder):
    return dict(zip(("bvec", "bval"), write_fsl(folder, DIRS, BVALS)))


def outcome(call):
    """The JSON report of a sound result, or the text of a documented ValueError."""
    try:
        text = call()
    except ValueError as error:
        message = str(error)
        assert message.startswith(DOCUMENTED_PREFIXES), message
        assert "\n" not in message
        return message
    report = json.loads(text, parse_constant=lambda c: pytest.fail(f"non-JSON constant {c}"))
    assert isinstance(report, dict)
    return report


GOOD = nifti()

# One case per way a file can lie, through both the image and the mask argument; the reader's
# full set of header refusals is volume_test's. (name, bytes, exact message or None for any)
BAD_IMAGES = [
    ("empty", b"", "NIfTI error: file holds 0 bytes, fewer than the 348-byte header"),
    ("sizeof_hdr 349", nifti(sizeof_hdr=349), "NIfTI error: not a NIfTI-1 file (header size field 349)"),
    ("terabyte claim", nifti(dims=(32767, 32767, 32767, 100), datatype=64, bitpix=64, data=b""),
     "NIfTI error: header implies 28144920769330752 bytes of image but the file holds 352"),
    ("gzip terabyte claim", gz(nifti(dims=(32767, 32767, 32767, 100), datatype=64, bitpix=64,
                                     data=b"")), None),
    ("truncated data", GOOD[:-1], "NIfTI error: header implies 1024 bytes of image but the file holds 1023"),
    # The size field is the byte-order mark; the first field read in the wrong order is refused.
    ("size field swapped, rest native", bytes(reversed(GOOD[:4])) + GOOD[4:],
     "NIfTI error: invalid vox_offset 6.3231e-41"),
    ("gzip bad isize", gzip_with(GOOD, isize=12345), "NIfTI error: gzip length check mismatch"),
    ("gzip magic then junk", b"\x1f\x8b" + b"\xa5" * 400, None),
    ("random bytes", bytes(np.random.default_rng(7).integers(0, 256, 2000, dtype=np.uint8)), None),
]


class TestImages:
    @pytest.mark.parametrize("name, data, message", BAD_IMAGES, ids=[c[0] for c in BAD_IMAGES])
    def test_bad_image_is_a_nifti_error(self, tmp_path, name, data, message):
        path = tmp_path / "dwi.nii"
        path.write_bytes(data)
        result = outcome(lambda: _quorvex.audit(dwi=str(path), **table(tmp_path)))
        assert isinstance(result, str), f"{name} was accepted"
        assert result.startswith("NIfTI error: ")
        if message is not None:
            assert result == message
        # The same bytes as a mask are refused the same way.
        good = tmp_path / "good.nii"
        good.write_bytes(GOOD)
        as_mask = outcome(lambda: _quorvex.audit(dwi=str(good), mask=str(path), **table(tmp_path)))
        assert isinstance(as_mask, str) and as_mask.startswith("NIfTI error: ")

    @pytest.mark.parametrize("image", [
        nifti(order=">"), gz(nifti(order=">")), gz(GOOD), gz(GOOD) + b"\0" * 512,
        gz(GOOD[:500]) + gz(GOOD[500:]), gz(GOOD) + b"garbage!",
    ], ids=["big-endian", "big-endian gzip", "gzip", "gzip zero padding", "two members",
            "unread trailing garbage"])
    def test_valid_variants_read_like_the_plain_file(self, tmp_path, image):
        plain, other = tmp_path / "a.nii", tmp_path / "b.nii"
        plain.write_bytes(GOOD)
        other.write_bytes(image)
        want = outcome(lambda: _quorvex.audit(dwi=str(plain), **table(tmp_path)))
        got = outcome(lambda: _quorvex.audit(dwi=str(other), **table(tmp_path)))
        assert type(got) is type(want)
        if isinstance(want, dict):
            want.pop("timestamp"), got.pop("timestamp")
            assert got == want

    @pytest.mark.parametrize("fill", [np.nan, np.inf, -np.inf, 3.4e38])
    @pytest.mark.parametrize("where", ["everywhere", "one voxel", "b0 volume"])
    def test_non_finite_samples(self, tmp_path, fill, where):
        data = np.full(SHAPE, 100.0, "<f4")
        data[..., 1:] *= np.linspace(0.3, 0.6, 6)
        if where == "everywhere":
            data[:] = fill
        elif where == "one voxel":
            data[1, 1, 1, :] = fill
        else:
            data[..., 0] = fill
        path = tmp_path / "dwi.nii"
        path.write_bytes(nifti(datatype=16, bitpix=32, data=data.tobytes()))
        result = outcome(lambda: _quorvex.audit(dwi=str(path), **table(tmp_path)))
        if isinstance(result, dict):
            assert result["status"] in ("PASS", "WARN", "FLAG")

    @pytest.mark.parametrize("slope, inter", [(float("nan"), 0.0), (float("inf"), 1.0),
                                              (2.0, float("nan")), (1e38, 1e38)])
    def test_odd_scaling(self, tmp_path, slope, inter):
        path = tmp_path / "dwi.nii"
        path.write_bytes(nifti(slope=slope, inter=inter))
        outcome(lambda: _quorvex.audit(dwi=str(path), **table(tmp_path)))

    def test_mask_of_the_wrong_rank_or_grid(self, tmp_path):
        dwi = tmp_path / "dwi.nii"
        dwi.write_bytes(GOOD)
        flat = tmp_path / "flat.nii"
        flat.write_bytes(nifti(dims=(4, 12), data=np.ones(48, "<i2").tobytes()))
        small = tmp_path / "small.nii"
        small.write_bytes(nifti(dims=(2, 2, 2), data=np.ones(8, "<i2").tobytes()))
        t = table(tmp_path)
        assert outcome(lambda: _quorvex.audit(dwi=str(dwi), mask=str(flat), **t)) == (
            "NIfTI error: a mask image must be 3-D or 4-D, got 2-D")
        assert outcome(lambda: _quorvex.audit(dwi=str(dwi), mask=str(small), **t)) == (
            "mask grid mismatch: mask has 8 voxels but the DWI grid has 48")

    def test_volume_count_mismatch(self, tmp_path):
        dwi = tmp_path / "dwi.nii"
        dwi.write_bytes(nifti(dims=(4, 4, 3, 5), data=np.ones(240, "<i2").tobytes()))
        assert outcome(lambda: _quorvex.audit(dwi=str(dwi), **table(tmp_path))) == (
            "volume mismatch: 7 gradients but 5 DWI volumes")


def write(path, data):
    path.write_bytes(data if isinstance(data, bytes) else data.encode())
    return str(path)


class TestTables:
    @pytest.mark.parametrize("bvec, bval, message", [
        (b"", b"", None),
        (b"inf -inf\n1e309 -1e309\n0 0\n", b"1e400 -inf", None),
        (b"1 0 0\n", b"\xff\xfe1\x000\x00", "I/O error: stream did not contain valid UTF-8"),
        (b"1 0 0\n", b"x" * 300000,
         "failed to parse {bval}: invalid number: " + "x" * 200 + "\u2026"),
        (bytes(range(256)), b"0", None),
    ], ids=["empty", "infinities", "utf-16", "huge bad token", "binary"])
    def test_fsl_pair(self, tmp_path, bvec, bval, message):
        paths = {"bvec": write(tmp_path / "t.bvec", bvec), "bval": write(tmp_path / "t.bval", bval)}
        result = outcome(lambda: _quorvex.inspect(**paths))
        if message is not None:
            assert result == message.format(**paths)
        elif isinstance(result, dict):
            n = len(result["scheme"]["bvals"])
            assert len(result["scheme"]["directions"]) == n

    @pytest.mark.parametrize("grad, message", [
        (b"1 0 0 1000 anything \xc3\xa9 here\n", None),
        (b"1 0 zero 1000\n", "failed to parse {grad}: invalid number: zero"),
        (b"\r\n\r\n1 0 0 0\r", None),
    ], ids=["trailing text", "word", "bare cr"])
    def test_grad(self, tmp_path, grad, message):
        path = write(tmp_path / "t.b", grad)
        result = outcome(lambda: _quorvex.inspect(grad=path))
        if message is not None:
            assert result == message.format(grad=path)

    @pytest.mark.parametrize("kind", ["mostly b0", "nan"])
    def test_a_million_volumes(self, tmp_path, kind):
        n = 1_000_000
        if kind == "mostly b0":
            bvals = ["0"] * (n - 30) + ["1000"] * 30
            dirs = np.vstack([np.zeros((n - 30, 3)), np.eye(3)[np.arange(30) % 3]
                              + np.arange(30)[:, None] * 0.01])
            bvec = "\n".join(" ".join(f"{x:g}" for x in row) for row in dirs.T)
        else:
            bvals = ["nan"] * n
            bvec = "\n".join([" ".join(["nan"] * n)] * 3)
        paths = {"bvec": write(tmp_path / "t.bvec", bvec), "bval": write(tmp_path / "t.bval",
                                                                       " ".join(bvals))}
        report = outcome(lambda: _quorvex.inspect(**paths))
        assert len(report["scheme"]["bvals"]) == n


class TestNotRegularFiles:
    # Run in a child so that a reader that blocks on the FIFO fails the test instead of hanging
    # the whole suite.
    def test_fifo_and_devices_are_refused_without_blocking(self, tmp_path):
        fifo = tmp_path / "pipe"
        os.mkfifo(fifo)
        dwi = tmp_path / "dwi.nii"
        dwi.write_bytes(GOOD)
        t = table(tmp_path)
        calls = {
            "dwi": dict(dwi=str(fifo), **t),
            "mask": dict(dwi=str(dwi), mask=str(fifo), **t),
            "bval": dict(bvec=t["bvec"], bval=str(fifo)),
            "bvec": dict(bvec=str(fifo), bval=t["bval"]),
            "grad": dict(grad=str(fifo)),
            "zero": dict(bvec=t["bvec"], bval="/dev/zero"),
            "null dwi": dict(dwi="/dev/null", **t),
        }
        script = (
            "import json, sys, _quorvex\n"
            "out = {}\n"
            "for name, kw in json.loads(sys.argv[1]).items():\n"
            "    try:\n"
            "        _quorvex.audit(**kw); out[name] = 'ok'\n"
            "    except ValueError as e:\n"
            "        out[name] = str(e)\n"
            "print(json.dumps(out))\n")
        done = subprocess.run([sys.executable, "-c", script, json.dumps(calls)],
                              capture_output=True, text=True, timeout=60, check=True)
        got = json.loads(done.stdout)
        assert got == {
            "dwi": "NIfTI error: not a regular file",
            "mask": "NIfTI error: not a regular file",
            "bval": "I/O error: not a regular file",
            "bvec": "I/O error: not a regular file",
            "grad": "I/O error: not a regular file",
            "zero": "I/O error: not a regular file",
            "null dwi": "NIfTI error: not a regular file",
        }

    @pytest.mark.parametrize("argument", ["dwi", "mask", "bvec", "bval", "grad"])
    def test_directory_as_input(self, tmp_path, argument):
        dwi = tmp_path / "dwi.nii"
        dwi.write_bytes(GOOD)
        kw = {"dwi": str(dwi), **table(tmp_path)}
        kw[argument] = str(tmp_path)
        prefix = "NIfTI error: " if argument in ("dwi", "mask") else "I/O error: "
        assert outcome(lambda: _quorvex.audit(**kw)) == prefix + "Is a directory (os error 21)"


def snapshot(folder):
    return {p.name: p.read_bytes() for p in folder.iterdir() if p.is_file()}


class TestOutputs:
    """Failed writes are reported, inputs survive, and nothing unwritten is listed."""

    @pytest.fixture
    def pair(self, tmp_path):
        return {"bvec": write(tmp_path / "in.bvec", "1 0 0.5\n0 1 0.5\n0 0 0.7\n"),
                "bval": write(tmp_path / "in.bval", "1000 1000 2000\n")}

    @pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full here")
    @pytest.mark.parametrize("argument", ["out_bvec", "out_bval", "out_grad", "provenance"])
    def test_full_disk(self, tmp_path, pair, argument):
        kw = {"out_bvec": str(tmp_path / "o.bvec"), "out_bval": str(tmp_path / "o.bval"), **pair}
        kw[argument] = "/dev/full"
        before = snapshot(tmp_path)
        with pytest.raises(ValueError) as caught:
            _quorvex.recompute_bval(in_place=True, **kw)
        message = str(caught.value)
        expected = ("JSON error: " if argument == "provenance" else "I/O error: ")
        assert message == expected + "No space left on device (os error 28)"
        assert os.path.exists("/dev/full") and not os.path.isfile("/dev/full")
        assert not os.path.exists("/dev/full.bak")
        after = snapshot(tmp_path)
        assert {k: after[k] for k in before} == before

    def test_in_place_over_the_input_keeps_a_backup_when_the_next_write_fails(self, tmp_path,
                                                                                pair):
        original = Path(pair["bvec"]).read_bytes()
        with pytest.raises(ValueError):
            _quorvex.recompute_bval(pair["bvec"], str(tmp_path / "nope" / "o.bval"), in_place=True,
                                    **pair)
        assert Path(pair["bvec"] + ".bak").read_bytes() == original

WEIRD = b"sub-\xff\xfe-\xc3(.x"


class TestUndecodablePaths:
    """Names that are not UTF-8 arrive as surrogate-escaped str and must reach the real file."""

    @pytest.fixture
    def weird(self, tmp_path):
        folder = os.path.join(os.fsencode(tmp_path), WEIRD)
        os.mkdir(folder)
        return folder

    def fs(self, folder, name):
        return os.fsdecode(os.path.join(folder, name.encode()))

    @pytest.mark.parametrize("argument", ["bvec", "bval", "grad"])
    def test_table_paths(self, tmp_path, weird, argument):
        kw = {"bvec": self.fs(weird, "t.bvec"), "bval": self.fs(weird, "t.bval")}
        with open(os.fsencode(kw["bvec"]), "w") as f:
            f.write("1 0 0\n0 1 0\n0 0 1\n")
        with open(os.fsencode(kw["bval"]), "w") as f:
            f.write("1000 1000 1000\n")
        if argument == "grad":
            kw = {"grad": self.fs(weird, "t.b")}
            with open(os.fsencode(kw["grad"]), "w") as f:
                f.write("1 0 0 1000\n")
        report = outcome(lambda: _quorvex.inspect(**kw))
        paths = [i["path"] for i in report["inputs"]]
        assert all("\ufffd" in p for p in paths)
        # The report is valid UTF-8 throughout.
        json.dumps(report, ensure_ascii=False).encode("utf-8")

    def test_repair_outputs_under_an_undecodable_folder(self, tmp_path, weird):
        subject = make_subject(tmp_path)
        flipped = subject["dirs"] * np.array([-1.0, 1.0, 1.0])
        bvec, bval = write_fsl(tmp_path, flipped, subject["bvals"], "bad")
        out = {"out_bvec": self.fs(weird, "r.bvec"), "out_bval": self.fs(weird, "r.bval"),
               "provenance": self.fs(weird, "p.json")}
        report = json.loads(_quorvex.repair(subject["dwi"], bvec=bvec, bval=bval, **out))
        assert report["flip"]["decision"] == "FLAG"
        assert len(report["repair"]["outputs"]) == 2
        for name in (b"r.bvec", b"r.bval", b"p.json"):
            assert os.path.isfile(os.path.join(weird, name))
        with open(os.path.join(weird, b"p.json"), "rb") as f:
            json.loads(f.read().decode("utf-8"))
