"""What follows the image in its file costs nothing, and Ctrl-C stops a long read.

The gzip members here are built, not compressed: a fixed-Huffman block of 258-byte zero runs is
13 bytes per eight runs, so a member inflating to gigabytes takes no time to make."""

import json
import os
import signal
import struct
import subprocess
import sys
import textwrap
import time

import pytest
from test_hostile import GOOD, gz, outcome, table

import _quorvex


class _Bits:
    def __init__(self):
        self.out, self.acc, self.n = bytearray(), 0, 0

    def put(self, value, count):  # deflate packs fields least significant bit first
        self.acc |= value << self.n
        self.n += count
        while self.n >= 8:
            self.out.append(self.acc & 0xFF)
            self.acc >>= 8
            self.n -= 8

    def code(self, code, length):  # and Huffman codes most significant bit first
        for i in reversed(range(length)):
            self.put((code >> i) & 1, 1)

    def done(self):
        return bytes(self.out + (bytes([self.acc]) if self.n else b""))


def _block(prefix, runs):
    bits = _Bits()
    bits.put(1, 1)  # final block
    bits.put(1, 2)  # fixed codes
    for v in prefix:
        bits.code(0x30 + v, 8) if v < 144 else bits.code(0x190 + v - 144, 9)
    for _ in range(runs):
        bits.code(0b11000101, 8)  # length 258
        bits.code(0, 5)  # distance 1
    bits.code(0, 7)  # end of block
    return bits.done()


def zero_member(prefix, units):
    """A gzip member inflating to `prefix` (ending in a zero byte) and 2064 * `units` zeros.
    Its CRC is wrong: a reader that inflates it to the end fails."""
    a, b = _block(prefix, 32), _block(prefix, 40)
    at = next(i for i in range(len(a)) if b == a[:i] + b[i:i + 13] + a[i:])
    deflate = a[:at] + b[at:at + 13] * (units - 4) + a[at:]
    size = len(prefix) + 2064 * units
    return b"\x1f\x8b\x08\0\0\0\0\0\0\xff" + deflate + struct.pack("<II", 0, size & 0xFFFFFFFF)


def run_child(code, *args):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                          capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("tail", ["bomb member", "sparse padding"])
def test_nothing_after_the_image_member_is_inflated_or_held(tmp_path, tail):
    plain = tmp_path / "plain.nii"
    plain.write_bytes(GOOD)
    path = tmp_path / "dwi.nii.gz"
    if tail == "bomb member":
        path.write_bytes(gz(GOOD) + zero_member(b"\0", 1 << 19))  # 1 GiB
    else:
        path.write_bytes(gz(GOOD))
        os.truncate(path, len(gz(GOOD)) + (1 << 30))
    tables = table(tmp_path)
    want = outcome(lambda: _quorvex.audit(dwi=str(plain), **tables))
    # In a fresh process, so that its peak memory is this read's alone.
    child = run_child("""
        import json, resource, sys, _quorvex
        report = json.loads(_quorvex.audit(dwi=sys.argv[1], bvec=sys.argv[2], bval=sys.argv[3]))
        report.pop("timestamp")
        print(json.dumps(report))
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
    """, path, tables["bvec"], tables["bval"])
    assert child.returncode == 0, child.stderr
    got, peak_kib = child.stdout.splitlines()
    want.pop("timestamp")
    assert json.loads(got) == want
    assert int(peak_kib) < 400 * 1024


def test_ctrl_c_stops_a_long_read(tmp_path):
    # The image's own member runs on for 4 GiB, which must be inflated to check it.
    path = tmp_path / "dwi.nii.gz"
    path.write_bytes(zero_member(GOOD, 1 << 21))
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

