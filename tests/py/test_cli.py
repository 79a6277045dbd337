"""The quorvex command line, run as a subprocess like a user would."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest

import _quorvex
from quorvex import phantom
from synthetic import write_fsl

MIRROR_X = np.diag([-1.0, 1.0, 1.0])


def cli(*args, env=None):
    environment = {**os.environ, **(env or {})}
    return subprocess.run([sys.executable, "-m", "quorvex", *map(str, args)], capture_output=True,
                          text=True, env=environment, timeout=120)


def without_timestamp(text):
    document = json.loads(text)
    document.pop("timestamp")
    return document


@pytest.fixture(scope="module")
def tables(tmp_path_factory):
    """A small phantom (negative determinant: its FSL frame is its voxel frame) with a correct
    and an x-mirrored table."""
    folder = tmp_path_factory.mktemp("phantom")
    p = phantom.make_phantom(shape=(40, 40, 28), affine="las", shells=((1000.0, 30),), n_b0=2,
                             snr=30.0, seed=3)
    dwi = folder / "dwi.nii.gz"
    phantom.write_nifti(dwi, p.data, p.affine, compresslevel=1)
    subject = {"dwi": str(dwi), "dirs": p.directions, "bvals": p.bvals, "folder": folder}
    good = write_fsl(folder, p.directions, p.bvals, "good")
    bad = write_fsl(folder, p.directions @ MIRROR_X.T, p.bvals, "bad")
    return subject, good, bad


class TestCommands:
    def test_inspect_summary_and_exit(self, tables):
        _, (bvec, bval), _ = tables
        result = cli("inspect", "--bvec", bvec, "--bval", bval)
        assert result.returncode == 0
        assert result.stdout.splitlines()[0] == "status: PASS"
        assert "shells: b0 x2, b=1000 x30" in result.stdout
        assert "\033[" not in result.stdout  # no colour when piped

    def test_audit_flag_prints_the_repair_command(self, tables):
        subject, _, (bvec, bval) = tables
        result = cli("audit", subject["dwi"], "--bvec", bvec, "--bval", bval)
        assert result.returncode == 0
        assert "coherence verdict: FLAG" in result.stdout
        assert "relative margin" in result.stdout and "(FLAG needs 2.00%)" in result.stdout
        assert "confirmed verdict: FLAG" in result.stdout
        assert "meaning: the table's x axis is mirrored" in result.stdout
        command = [line for line in result.stdout.splitlines() if line.startswith("repair with: ")]
        assert command and "--out-bvec" in command[0] and "bad_repaired.bvec" in command[0]

    def test_json_is_the_modules_document_plus_the_confirmed_verdict(self, tables):
        subject, (bvec, bval), _ = tables
        module = without_timestamp(_quorvex.detect_flip(subject["dwi"], bvec, bval))
        alone = cli("detect", subject["dwi"], "--bvec", bvec, "--bval", bval, "--json",
                    "--coherence-only")
        assert alone.returncode == 0 and without_timestamp(alone.stdout) == module
        both = json.loads(cli("detect", subject["dwi"], "--bvec", bvec, "--bval", bval,
                              "--json").stdout)
        assert both.pop("confirmed")["decision"] == both.pop("confirmed_status") == "PASS"
        assert without_timestamp(json.dumps(both)) == module

    def test_repair_then_audit_passes(self, tables, tmp_path):
        subject, _, (bvec, bval) = tables
        out = [tmp_path / "fixed.bvec", tmp_path / "fixed.bval"]
        result = cli("repair", subject["dwi"], "--bvec", bvec, "--bval", bval, "--out-bvec",
                     out[0], "--out-bval", out[1], "--provenance", tmp_path / "fixed.json")
        assert result.returncode == 0, result.stderr
        assert "repair: applied" in result.stdout
        again = cli("audit", subject["dwi"], "--bvec", out[0], "--bval", out[1])
        assert again.returncode == 0 and "confirmed verdict: PASS" in again.stdout
        refused = cli("repair", subject["dwi"], "--bvec", bvec, "--bval", bval, "--out-bvec",
                      out[0], "--out-bval", out[1])
        assert refused.returncode == 1
        assert refused.stderr.strip().endswith("(pass --force to allow)")

    def test_profile_prints_the_stage_split(self, tables):
        subject, (bvec, bval), _ = tables
        result = cli("audit", subject["dwi"], "--bvec", bvec, "--bval", bval, "--profile")
        assert result.returncode == 0
        stages = [line for line in result.stdout.splitlines() if line.startswith("stages (s):")]
        assert stages and "coherence" in stages[0] and "total" in stages[0]

    def test_warn_exits_three(self, tables, tmp_path):
        subject, _, _ = tables
        dirs = subject["dirs"] * np.where(np.arange(32) % 3 != 0, 0.5, 1.0)[:, None]
        bvec, bval = write_fsl(tmp_path, dirs, subject["bvals"], "amp")
        result = cli("inspect", "--bvec", bvec, "--bval", bval)
        assert result.returncode == 3
        assert "amplitude-encoded" in result.stdout

    def test_recompute_bval(self, tmp_path):
        dirs = np.array([[0, 0, 0], [1, 0, 0], [0, 0.5, 0]], float)
        bvec, bval = write_fsl(tmp_path, dirs, np.array([0.0, 1000, 1000]), "amp")
        result = cli("recompute-bval", "--bvec", bvec, "--bval", bval, "--out-bvec",
                     tmp_path / "o.bvec", "--out-bval", tmp_path / "o.bval")
        assert result.returncode == 0
        assert "after:  b=0 x1, b=250 x1, b=1000 x1" in result.stdout


class TestErrors:
    def test_missing_file_is_one_line_exit_one(self, tmp_path):
        result = cli("inspect", "--bvec", tmp_path / "no.bvec", "--bval", tmp_path / "no.bval")
        assert result.returncode == 1
        assert result.stderr == "quorvex: I/O error: No such file or directory (os error 2)\n"
        assert result.stdout == ""

    @pytest.mark.parametrize("args", [[], ["frobnicate"], ["repair", "x.nii"],
                                      ["inspect", "--tolerance", "abc"]])
    def test_usage_errors_exit_two(self, args):
        assert cli(*args).returncode == 2

    def test_version(self):
        result = cli("--version")
        assert result.returncode == 0 and result.stdout.strip() == "quorvex 1.1.4"


def test_colour_only_on_a_terminal_without_no_color(tables):
    import pty

    _, (bvec, bval), _ = tables
    for env, coloured in (({}, True), ({"NO_COLOR": "1"}, False)):
        leader, follower = pty.openpty()
        process = subprocess.Popen([sys.executable, "-m", "quorvex", "inspect", "--bvec", bvec,
                                    "--bval", bval], stdout=follower, stderr=subprocess.DEVNULL,
                                   env={**os.environ, **env})
        os.close(follower)
        output = b""
        while True:
            try:
                chunk = os.read(leader, 4096)
            except OSError:
                break
            if not chunk:
                break
            output += chunk
        process.wait(timeout=60)
        os.close(leader)
        assert (b"\033[" in output) == coloured
