"""What the writing calls leave on disk when things go wrong: a crash, a full disk, outputs that
name the same file as something else, and memory exhaustion."""

import json
import os
import random
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import _quorvex
from synthetic import write_fsl

OUTPUTS = ["out_bvec", "out_bval", "out_grad", "provenance"]
INPUTS = ["dwi", "mask", "bvec", "bval"]
# An output may replace its own input in place (it is then kept as its backup).
REPLACES = {"out_bvec": "bvec", "out_bval": "bval"}
ALIASED = sorted({tuple(sorted((a, b))) if b in OUTPUTS else (a, b)
                  for a in OUTPUTS for b in OUTPUTS + INPUTS
                  if a != b and REPLACES.get(a) != b})


def snapshot(folder):
    return {str(p.relative_to(folder)): p.read_bytes() if p.is_file() else None
            for p in folder.rglob("*")}


def amplitude_table(folder, n, name, seed):
    """n amplitude-encoded directions at b=1000 and 2000 (recompute_bval's input)."""
    rng = np.random.default_rng(seed)
    dirs = rng.normal(size=(n, 3))
    dirs /= np.linalg.norm(dirs, axis=1)[:, None]
    dirs[n // 2:] *= np.sqrt(0.5)
    return write_fsl(folder, dirs, np.full(n, 2000.0), name)


class TestAliasing:
    @pytest.fixture
    def call(self, subject):
        folder = subject["folder"]
        bvec, bval = write_fsl(folder, subject["dirs"] @ np.diag([-1.0, 1, 1]), subject["bvals"])
        (folder / "sub").mkdir()
        return folder, {"dwi": subject["dwi"], "mask": str(folder / "mask.nii.gz"), "bvec": bvec,
                        "bval": bval, "out_bvec": str(folder / "o.bvec"),
                        "out_bval": str(folder / "o.bval"), "out_grad": str(folder / "o.b"),
                        "provenance": str(folder / "p.json")}

    @pytest.mark.parametrize("spelling", ["same", "other"])
    @pytest.mark.parametrize("first, second", ALIASED, ids=["-".join(p) for p in ALIASED])
    def test_every_aliased_pair_is_refused_before_anything_is_written(self, call, first, second,
                                                                      spelling):
        folder, kw = call
        alias = kw[second]
        kw[first] = alias if spelling == "same" else str(folder / "sub" / ".." / Path(alias).name)
        before = snapshot(folder)
        with pytest.raises(ValueError) as caught:
            _quorvex.repair(**kw, in_place=True)
        message = str(caught.value)
        assert message.startswith("I/O error: output ") and "is the same file as" in message
        assert first in message and second in message and "\n" not in message
        assert snapshot(folder) == before

    def test_a_hard_link_is_the_same_file(self, call):
        folder, kw = call
        os.link(kw["bval"], folder / "linked.bval")
        with pytest.raises(ValueError, match=r"^I/O error: output out_bvec \(.*linked\.bval\) is "
                                             r"the same file as input bval"):
            _quorvex.repair(**dict(kw, out_bvec=str(folder / "linked.bval")), in_place=True)

    @pytest.mark.parametrize("argument", OUTPUTS)
    def test_links_are_never_written_through(self, tmp_path, argument):
        bvec, bval = amplitude_table(tmp_path, 30, "in", 0)
        victim = tmp_path / "victim"
        victim.write_text("keep")
        kw = {"out_bvec": str(tmp_path / "o.bvec"), "out_bval": str(tmp_path / "o.bval")}
        kw[argument] = str(tmp_path / "link")
        os.symlink(victim, tmp_path / "link")
        before = snapshot(tmp_path)
        with pytest.raises(ValueError, match="^I/O error: refusing to write through a symbolic "
                                             "link: "):
            _quorvex.recompute_bval(bvec=bvec, bval=bval, in_place=True, **kw)
        assert snapshot(tmp_path) == before


# Rewrites the outputs in place for ever from two alternating tables, saying when the first
# round is complete so that the kill lands while files are being replaced.
WRITER = textwrap.dedent("""
    import sys, _quorvex
    folder, tables = sys.argv[1], [sys.argv[2:4], sys.argv[4:6]]
    k = 0
    while True:
        bvec, bval = tables[k % 2]
        _quorvex.recompute_bval(folder + "/o.bvec", folder + "/o.bval", bvec=bvec, bval=bval,
                                out_grad=folder + "/o.b", provenance=folder + "/p.json",
                                in_place=True)
        if k == 0:
            print("ready", flush=True)
        k += 1
""")


def test_killed_writers_leave_old_or_new_files(tmp_path):
    tables = [amplitude_table(tmp_path, 20000, name, seed) for name, seed in (("a", 1), ("b", 2))]
    versions = {}
    for k, (bvec, bval) in enumerate(tables):
        ref = tmp_path / f"ref{k}"
        ref.mkdir()
        _quorvex.recompute_bval(str(ref / "o.bvec"), str(ref / "o.bval"), bvec=bvec, bval=bval,
                                out_grad=str(ref / "o.b"))
        for name in ("o.bvec", "o.bval", "o.b"):
            versions.setdefault(name, set()).add((ref / name).read_bytes())
    out = tmp_path / "out"
    out.mkdir()
    rng = random.Random(15)
    for trial in range(30):
        child = subprocess.Popen([sys.executable, "-c", WRITER, str(out), *tables[0], *tables[1]],
                                 stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline() == "ready\n"
        try:
            child.wait(timeout=rng.uniform(0.0, 0.4))
        except subprocess.TimeoutExpired:
            pass
        child.send_signal(signal.SIGKILL)
        child.wait()
        child.stdout.close()
        for name, allowed in versions.items():
            assert (out / name).read_bytes() in allowed, f"trial {trial}: {name} is torn"
        assert json.loads((out / "p.json").read_text())["outputs"], f"trial {trial}"
        for leftover in out.iterdir():
            if ".bak" in leftover.name or leftover.name.endswith(".tmp"):
                leftover.unlink()


@pytest.fixture
def small_disk(tmp_path):
    mount = tmp_path / "disk"
    mount.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(mount)],
                             capture_output=True)
    if mounted.returncode != 0:
        pytest.skip("cannot mount a small tmpfs here: " + mounted.stderr.decode().strip())
    yield mount
    subprocess.run(["umount", str(mount)], check=True)


def test_a_full_disk_leaves_the_old_files(tmp_path, small_disk):
    small = amplitude_table(tmp_path, 30, "small", 1)
    large = amplitude_table(tmp_path, 20000, "large", 2)
    kw = {"out_bvec": str(small_disk / "o.bvec"), "out_bval": str(small_disk / "o.bval"),
          "provenance": str(small_disk / "p.json")}
    _quorvex.recompute_bval(bvec=small[0], bval=small[1], **kw)
    before = snapshot(small_disk)
    with pytest.raises(ValueError, match=r"^I/O error: No space left on device \(os error 28\)$"):
        _quorvex.recompute_bval(bvec=large[0], bval=large[1], in_place=True, **kw)
    assert snapshot(small_disk) == before


# A call that cannot get the memory it needs fails with ValueError, and the same process then
# works normally once memory is available again: a first use of the worker pool under the
# limit must not leave it unusable.
UNDER_LIMIT = textwrap.dedent("""
    import json, resource, sys, _quorvex
    dwi, bvec, bval, big_bvec, big_bval = sys.argv[1:6]
    def vm_size():
        with open("/proc/self/status") as f:
            return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    outcomes = []
    for headroom in (1 << 20, 64 << 20):
        resource.setrlimit(resource.RLIMIT_AS, (vm_size() + headroom, hard))
        for call in (lambda: _quorvex.audit(dwi=dwi, bvec=bvec, bval=bval),
                     lambda: _quorvex.recompute_bval("o.bvec", "o.bval", bvec=big_bvec,
                                                     bval=big_bval, dry_run=True)):
            try:
                call()
                outcomes.append("ok")
            except ValueError as error:
                outcomes.append(str(error))
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    report = json.loads(_quorvex.audit(dwi=dwi, bvec=bvec, bval=bval))
    json.loads(_quorvex.recompute_bval("o.bvec", "o.bval", bvec=big_bvec, bval=big_bval,
                                       dry_run=True))
    print(json.dumps({"outcomes": outcomes, "flip": report["flip"]["best"]["label"]}))
""")


def test_memory_exhaustion_is_an_error_and_the_process_recovers(tmp_path, subject):
    bvec, bval = write_fsl(tmp_path, subject["dirs"], subject["bvals"])
    big = amplitude_table(tmp_path, 300_000, "big", 3)
    done = subprocess.run([sys.executable, "-c", UNDER_LIMIT, subject["dwi"], bvec, bval, *big],
                          capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    assert result["flip"] == json.loads(_quorvex.audit(dwi=subject["dwi"], bvec=bvec,
                                                       bval=bval))["flip"]["best"]["label"]
    assert any(o.startswith("out of memory") for o in result["outcomes"]), result["outcomes"]
    assert all(o == "ok" or o.startswith(("out of memory", "NIfTI error"))
               for o in result["outcomes"]), result["outcomes"]
