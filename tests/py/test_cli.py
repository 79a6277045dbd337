"""The quorvex command line, run as a subprocess like a user would."""

import contextlib
import json
import os
import signal
import subprocess
import sys
import time

import nibabel as nib
import numpy as np
import pytest

import _quorvex
from quorvex import phantom
from synthetic import RUN_TABLES, add_run, without_timestamp, write_fsl

MIRROR_X = np.diag([-1.0, 1.0, 1.0])


def cli(*args, env=None, cwd=None):
    environment = {**os.environ, **(env or {})}
    return subprocess.run([sys.executable, "-m", "quorvex", *map(str, args)], capture_output=True,
                          text=True, env=environment, timeout=120, cwd=cwd)


@pytest.fixture(scope="module")
def tables(tmp_path_factory):
    """A small phantom (negative determinant: its FSL frame is its voxel frame) with a correct,
    an x-mirrored and an amplitude-encoded table."""
    folder = tmp_path_factory.mktemp("phantom")
    p = phantom.make_phantom(shape=(40, 40, 28), affine="las", shells=((1000.0, 30),), n_b0=2,
                             snr=30.0, seed=3)
    image = folder / "dwi.nii.gz"
    phantom.write_nifti(image, p.data, p.affine, compresslevel=1)
    amplitude = p.directions * np.where(np.arange(32) % 3 != 0, 0.5, 1.0)[:, None]
    return {"dwi": str(image), "folder": folder,
            "good": write_fsl(folder, p.directions, p.bvals, "good"),
            "bad": write_fsl(folder, p.directions @ MIRROR_X.T, p.bvals, "bad"),
            "amp": write_fsl(folder, amplitude, p.bvals, "amp")}


def table(tables, name):
    bvec, bval = tables[name]
    return ["--bvec", bvec, "--bval", bval]


class TestStatusesAndExitCodes:
    @pytest.mark.parametrize("command, name, code, line", [
        ("inspect", "good", 0, "status: PASS"),
        ("audit", "good", 0, "confirmed verdict: PASS"),
        ("audit", "bad", 4, "meaning: the table's x axis is mirrored"),
        ("inspect", "amp", 3, "amplitude-encoded"),
        ("audit-table-only", "good", 0, "flip detection: not run (no image given"),
    ])
    def test_exit_code_follows_the_status(self, tables, command, name, code, line):
        image = [] if command != "audit" else [tables["dwi"]]
        result = cli(command.removesuffix("-table-only"), *image, *table(tables, name))
        assert (result.returncode, result.stderr) == (code, "")
        assert line in result.stdout
        assert "\033[" not in result.stdout  # no colour when piped
        repair = [x for x in result.stdout.splitlines() if x.startswith("repair with: ")]
        assert bool(repair) == (code == 4)
        assert not repair or "bad_repaired.bvec" in repair[0]

    def test_json_is_the_modules_document_plus_the_confirmed_verdict(self, tables):
        bvec, bval = tables["good"]
        module = without_timestamp(_quorvex.detect_flip(tables["dwi"], bvec, bval))
        alone = cli("detect", tables["dwi"], "--bvec", bvec, "--bval", bval, "--json",
                    "--coherence-only")
        assert alone.returncode == 0 and without_timestamp(alone.stdout) == module
        both = json.loads(cli("detect", tables["dwi"], "--bvec", bvec, "--bval", bval,
                              "--json").stdout)
        assert both.pop("confirmed")["decision"] == both.pop("confirmed_status") == "PASS"
        assert without_timestamp(json.dumps(both)) == module

    def test_repair_then_audit_passes(self, tables, tmp_path):
        out = ["--out-bvec", tmp_path / "fixed.bvec", "--out-bval", tmp_path / "fixed.bval"]
        result = cli("repair", tables["dwi"], *table(tables, "bad"), *out,
                     "--provenance", tmp_path / "fixed.json")
        assert result.returncode == 0, result.stderr
        assert "repair: applied" in result.stdout
        again = cli("audit", tables["dwi"], "--bvec", out[1], "--bval", out[3], "--profile")
        assert again.returncode == 0 and "confirmed verdict: PASS" in again.stdout
        assert "stages (s):" in again.stdout and "confirm" in again.stdout
        refused = cli("repair", tables["dwi"], *table(tables, "bad"), *out)
        assert refused.returncode == 1
        assert refused.stderr.strip().endswith("(pass --force to allow)")

    @pytest.mark.parametrize("name, force, code, written", [
        ("amp", False, 0, True),
        ("good", False, 1, False),  # unit-length directions: recomputing would damage them
        ("good", True, 0, True),
    ])
    def test_recompute_bval_only_on_amplitude_encoded_tables(self, tables, tmp_path, name,
                                                             force, code, written):
        out = tmp_path / "o.bval"
        result = cli("recompute-bval", *table(tables, name), "--out-bvec", tmp_path / "o.bvec",
                     "--out-bval", out, *(["--force-recompute"] if force else []))
        assert result.returncode == code
        assert out.exists() == written
        assert (result.stderr == "") == written
        assert written or "not amplitude-encoded" in result.stderr


@pytest.fixture(scope="module")
def masks(tables):
    grid = nib.load(tables["dwi"]).shape[:3]
    affine = nib.load(tables["dwi"]).affine
    paths = {}
    for name, shape in (("other", (10, 10, 10)), ("fourd", grid + (2,)), ("ok", grid)):
        paths[name] = tables["folder"] / f"{name}_mask.nii.gz"
        nib.save(nib.Nifti1Image(np.ones(shape, np.uint8), affine), paths[name])
    return paths


class TestRefusals:

    @pytest.mark.parametrize("args, needle", [
        (["detect", "DWI", "GOOD", "--step", "0"], "--step must be"),
        (["detect", "DWI", "GOOD", "--step", "nan"], "--step must be"),
        (["inspect", "GOOD", "--tolerance", "-1"], "--tolerance must be"),
        (["inspect", "GOOD", "--b0-threshold", "inf"], "--b0-threshold must be"),
        (["detect", "DWI", "GOOD", "--shell", "3000"], "--shell 3000 matches no shell"),
        (["detect", "DWI", "GOOD", "--mask", "fourd"], "a mask must be 3-D"),
        (["detect", "DWI", "GOOD", "--mask", "other"], "is not the image's grid"),
        (["bids", "ROOT", "OUT"], "give the analysis level"),
        (["bids", "ROOT", "--jobs", "0"], "--jobs must be at least 1"),
        (["inspect", "--tolerance", "abc"], "invalid float value"),
        (["repair", "x.nii"], "required"),
        (["frobnicate"], "invalid choice"),
    ])
    def test_usage_errors_exit_two_in_one_line(self, tables, masks, tmp_path, args, needle):
        words = {"DWI": [tables["dwi"]], "GOOD": table(tables, "good"), "ROOT": [tmp_path],
                 "OUT": [tmp_path / "out"], **{k: [v] for k, v in masks.items()}}
        result = cli(*[w for a in args for w in words.get(a, [a])])
        assert result.returncode == 2 and result.stdout == ""
        assert needle in result.stderr.splitlines()[-1]

    @pytest.mark.parametrize("missing, label", [
        ("dwi", "DWI"), ("bvec", "bvec file"), ("mask", "mask"), ("out-bvec", "--out-bvec"),
    ])
    def test_missing_paths_are_named(self, tables, masks, tmp_path, missing, label):
        path = tmp_path / "absent" / ("x.nii" if missing != "out-bvec" else "x.bvec")
        given = {"dwi": tables["dwi"], "bvec": tables["good"][0], "mask": masks["ok"],
                 "out-bvec": tmp_path / "o.bvec", missing: path}
        result = cli("repair", given["dwi"], "--bvec", given["bvec"], "--bval",
                     tables["good"][1], "--mask", given["mask"], "--out-bvec", given["out-bvec"],
                     "--out-bval", tmp_path / "o.bval")
        assert result.returncode == 1 and result.stdout == ""
        assert result.stderr.startswith(f"quorvex: {label} {path}")
        assert result.stderr.count("\n") == 1
        assert not (tmp_path / "o.bval").exists()

    @pytest.mark.parametrize("where", ["file name", "table token"])
    def test_control_characters_are_escaped(self, tables, tmp_path, where):
        evil = "\x1b[2J\x07\u202e"
        if where == "file name":
            bvec, bval = str(tmp_path / f"{evil}.bvec"), tables["good"][1]
        else:
            bvec, bval = write_fsl(tmp_path, np.zeros((32, 3)), np.zeros(32), "t")
            with open(bvec, "w", encoding="utf-8") as f:
                f.write(f"0 1{evil} 0\n" * 3)
        result = cli("inspect", "--bvec", bvec, "--bval", bval)
        assert result.returncode == 1
        assert not {"\x1b", "\x07", "\u202e"} & set(result.stderr)
        assert "\\x1b[2J\\x07\\u202e" in result.stderr

    def test_version(self):
        result = cli("--version")
        assert result.returncode == 0 and result.stdout.strip() == "quorvex 1.1.4"


class TestDatasetAudit:
    @pytest.mark.parametrize("kinds, code", [
        (["PASS", "PASS"], 0),
        (["PASS", "WARN"], 3),
        (["WARN", "FLAG", "PASS"], 4),
        (["PASS", "broken", "FLAG", "untabled", "WARN"], 1),
    ])
    def test_most_severe_run_sets_the_exit_code(self, tmp_path, run_image, kinds, code):
        for k, kind in enumerate(kinds):
            add_run(tmp_path, f"sub-{k:02d}/dwi/sub-{k:02d}_dwi", run_image, kind)
        result = cli("bids", tmp_path)
        assert result.returncode == code, result.stderr
        out = tmp_path / "derivatives" / "quorvex"
        summary = json.loads((out / "dataset_summary.json").read_text())
        audited = [k for k in kinds if k in RUN_TABLES]
        assert [r["status"] for r in summary["results"]] == audited
        counts = ", ".join(f"{audited.count(s)} {s}" for s in ("PASS", "WARN", "FLAG"))
        assert f"({len(audited)} audited: {counts}; {kinds.count('broken')} failed, " \
               f"{kinds.count('untabled')} skipped)" in result.stdout
        if "broken" in kinds:
            # The broken run in the middle is named with its file; the runs after it are audited.
            image = str(tmp_path / "sub-01/dwi/sub-01_dwi.nii.gz")
            assert summary["failed"] == [{"file": image, "name": "sub-01_dwi",
                                          "reason": summary["failed"][0]["reason"]}]
            assert result.stderr == f"quorvex: sub-01_dwi: {image}: " \
                                    f"{summary['failed'][0]['reason']}\n"
            assert summary["skipped"][0]["dwi"] == str(tmp_path / "sub-03/dwi/sub-03_dwi.nii.gz")
            assert "  SKIP  " in result.stdout
        assert len(list(out.glob("*_report.json"))) == len(audited)
        description = json.loads((out / "dataset_description.json").read_text())
        assert description["DatasetType"] == "derivative"
        assert description["GeneratedBy"][0] == {"Name": "quorvex", "Version": "1.1.4"}

    def test_participants_and_bids_apps_form(self, tmp_path, run_image):
        root = tmp_path / "raw"
        for k in range(4):
            add_run(root, f"sub-{k:02d}/dwi/sub-{k:02d}_dwi", run_image)
        out = tmp_path / "out"
        result = cli("bids", root, out, "participant", "--participant-label", "01", "sub-03",
                     "--json")
        assert result.returncode == 0, result.stderr
        answer = json.loads(result.stdout)
        assert [r["name"] for r in answer["results"]] == ["sub-01_dwi", "sub-03_dwi"]
        assert answer["exit_code"] == 0 and answer["summary_path"] == str(
            out / "dataset_summary.json")
        assert sorted(p.name for p in out.iterdir()) == [
            "dataset_description.json", "dataset_summary.json", "sub-01_dwi_report.json",
            "sub-03_dwi_report.json"]
        assert not (root / "derivatives").exists()
        unknown = cli("bids", root, "--participant-label", "09")
        assert unknown.returncode == 1 and "sub-09" in unknown.stderr

    def test_mask_desc_chooses_among_masks(self, tmp_path, run_image):
        folder = os.path.dirname(add_run(tmp_path, "sub-01/dwi/sub-01_dwi", run_image))
        for desc in ("brain", "wm"):
            nib.save(nib.Nifti1Image(np.ones((14, 14, 6), np.uint8), np.eye(4)),
                     os.path.join(folder, f"sub-01_desc-{desc}_mask.nii.gz"))
        for desc in (None, "wm"):
            result = cli("bids", tmp_path, *(["--mask-desc", desc] if desc else []))
            assert result.returncode in (0, 3, 4), result.stderr
            report = json.loads((tmp_path / "derivatives/quorvex/sub-01_dwi_report.json")
                                .read_text())
            used = [i["path"] for i in report["inputs"] if i["path"].endswith("_mask.nii.gz")]
            assert used == [os.path.join(folder, f"sub-01_desc-{desc or 'brain'}_mask.nii.gz")]

    def test_unreachable_dask_scheduler_is_one_line(self, tmp_path, run_image):
        pytest.importorskip("distributed")
        add_run(tmp_path, "sub-01/dwi/sub-01_dwi", run_image)
        result = cli("bids", tmp_path, "--dask", "tcp://127.0.0.1:9")
        assert result.returncode == 1
        assert result.stderr.startswith("quorvex: cannot reach the Dask scheduler at ")
        assert result.stderr.count("\n") == 1

    @pytest.mark.parametrize("spread", [[], ["--jobs", "2"]])
    def test_ctrl_c_stops_a_long_batch(self, tables, tmp_path, spread):
        for k in range(40):
            base = tmp_path / f"sub-{k:02d}" / "dwi" / f"sub-{k:02d}_dwi"
            base.parent.mkdir(parents=True)
            for suffix, target in ((".nii.gz", tables["dwi"]), (".bvec", tables["good"][0]),
                                   (".bval", tables["good"][1])):
                os.symlink(target, f"{base}{suffix}")
        out = tmp_path / "derivatives" / "quorvex"
        # Its own session, so Ctrl-C reaches every process of the group as at a terminal.
        process = subprocess.Popen([sys.executable, "-m", "quorvex", "bids", tmp_path, *spread],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                   start_new_session=True)
        try:
            while process.poll() is None and not list(out.glob("*_report.json")):
                time.sleep(0.02)
            os.killpg(process.pid, signal.SIGINT)
            _, err = process.communicate(timeout=60)
        finally:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
        assert (process.returncode, err) == (130, "quorvex: interrupted\n")
        reports = list(out.glob("*_report.json"))
        assert 1 <= len(reports) < 40
        for report in reports:
            json.loads(report.read_text())
        assert not (out / "dataset_summary.json").exists()


def test_colour_only_on_a_terminal_without_no_color(tables):
    import pty

    bvec, bval = tables["good"]
    for env, coloured in (({}, True), ({"NO_COLOR": "1"}, False)):
        leader, follower = pty.openpty()
        process = subprocess.Popen([sys.executable, "-m", "quorvex", "inspect", "--bvec", bvec,
                                    "--bval", bval], stdout=follower, stderr=subprocess.DEVNULL,
                                   env={**os.environ, **env})
        os.close(follower)
        output = b""
        with contextlib.suppress(OSError):  # the terminal's end reads as EIO
            while chunk := os.read(leader, 4096):
                output += chunk
        process.wait(timeout=60)
        os.close(leader)
        assert (b"\033[" in output) == coloured


def test_wheel_in_a_fresh_venv_from_another_folder(tmp_path):
    """The repaired wheel from `make wheel` imports and runs with only its own libraries."""
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    wheels = sorted(p for p in os.listdir(os.path.join(root, "dist"))
                    if "manylinux" in p) if os.path.isdir(os.path.join(root, "dist")) else []
    if not wheels:
        pytest.skip("no repaired wheel in dist/ (make wheel)")
    wheel = os.path.join(root, "dist", wheels[-1])
    sources = [os.path.join(folder, name) for top in ("python", "src", "include")
               for folder, _, names in os.walk(os.path.join(root, top)) for name in names]
    if max(map(os.path.getmtime, sources)) > os.path.getmtime(wheel):
        pytest.skip("the wheel in dist/ is older than the sources (make wheel)")
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", venv], check=True, timeout=120)
    subprocess.run([venv / "bin/python", "-m", "pip", "install", "-q", wheel], check=True,
                   timeout=600,
                   capture_output=True)
    version = subprocess.run([venv / "bin/quorvex", "--version"], capture_output=True, text=True,
                             cwd=tmp_path, timeout=60)
    assert version.stdout == "quorvex 1.1.4\n"
    demo = subprocess.run([venv / "bin/python", os.path.join(root, "examples", "demo.py")],
                          capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert demo.returncode == 0, demo.stdout + demo.stderr
    where = subprocess.run([venv / "bin/python", "-c", "import _quorvex; print(_quorvex.__file__)"],
                           capture_output=True, text=True, cwd=tmp_path, timeout=60)
    assert where.stdout.startswith(str(venv))
