"""What follows the image in its file costs nothing, and Ctrl-C stops a long read."""

import json
import os
import signal
import struct
import subprocess
import sys
import textwrap
import time
import zlib

import pytest
from test_hostile import GOOD, gz, outcome, table

import _quorvex


def zero_member(prefix, mib):
    """A gzip member inflating to `prefix` and `mib` MiB of zeros: one compressed MiB repeated,
    each copy standing alone after a full flush, in fixed Huffman codes (slower to inflate than
    dynamic ones, so a long member takes seconds). Its CRC is wrong: a reader that inflates it to
    the end fails."""
    def raw(data, mode):
        packer = zlib.compressobj(9, zlib.DEFLATED, -15, 9, zlib.Z_FIXED)
        return packer.compress(data) + packer.flush(mode)

    size = len(prefix) + (mib << 20)
    return (b"\x1f\x8b\x08\0\0\0\0\0\0\xff" + raw(prefix, zlib.Z_FULL_FLUSH)
            + raw(bytes(1 << 20), zlib.Z_FULL_FLUSH) * mib + raw(b"", zlib.Z_FINISH)
            + struct.pack("<II", 0, size & 0xFFFFFFFF))


@pytest.mark.parametrize("tail", ["bomb member", "sparse padding"])
def test_nothing_after_the_image_member_is_inflated_or_held(tmp_path, tail):
    plain = tmp_path / "plain.nii"
    plain.write_bytes(GOOD)
    path = tmp_path / "dwi.nii.gz"
    if tail == "bomb member":
        path.write_bytes(gz(GOOD) + zero_member(b"", 1024))  # 1 GiB
    else:
        path.write_bytes(gz(GOOD))
        os.truncate(path, len(gz(GOOD)) + (1 << 30))
    tables = table(tmp_path)
    want = outcome(lambda: _quorvex.audit(dwi=str(plain), **tables))
    # In a fresh process, so that its peak memory is this read's alone.
    child = subprocess.run([sys.executable, "-c", textwrap.dedent("""
        import json, resource, sys, _quorvex
        report = json.loads(_quorvex.audit(dwi=sys.argv[1], bvec=sys.argv[2], bval=sys.argv[3]))
        report.pop("timestamp")
        print(json.dumps(report))
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
    """), str(path), tables["bvec"], tables["bval"]], capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    got, peak_kib = child.stdout.splitlines()
    want.pop("timestamp")
    assert json.loads(got) == want
    assert int(peak_kib) < 400 * 1024


def test_ctrl_c_stops_a_long_read(tmp_path):
    # The image's own member runs on for 4 GiB, which must be inflated to check it.
    path = tmp_path / "dwi.nii.gz"
    path.write_bytes(zero_member(GOOD, 4096))
    tables = table(tmp_path)
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
        import sys, _quorvex
        print("start", flush=True)
        try:
            _quorvex.audit(dwi=sys.argv[1], bvec=sys.argv[2], bval=sys.argv[3])
            print("finished")
        except KeyboardInterrupt:
            print("interrupted")
        except ValueError as error:
            print(error)
    """), str(path), tables["bvec"], tables["bval"]], stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "start\n"
    time.sleep(0.5)  # well inside the call, which runs for seconds
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=60)
    assert out == "interrupted\n"

