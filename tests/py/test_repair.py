"""repair() and recompute_bval(): what is written, in which frame, and the provenance sidecar."""

import json
import os

import numpy as np
import pytest

import _quorvex
from synthetic import make_subject, write_fsl

MIRROR_X = np.diag([-1.0, 1.0, 1.0])
SWAP_XY = np.array([[0.0, 1, 0], [1, 0, 0], [0, 0, 1]])


def read_bvec(path):
    return np.loadtxt(path).T


def outputs(folder):
    return {"out_bvec": str(folder / "fixed.bvec"), "out_bval": str(folder / "fixed.bval")}


def audit_flip(subject, **table):
    return json.loads(_quorvex.audit(dwi=subject["dwi"], **table))["flip"]


@pytest.mark.parametrize("matrix, dry_run", [
    (np.eye(3), False), (MIRROR_X, False), (SWAP_XY, False), (MIRROR_X, True),
], ids=["pass", "mirror", "swap", "dry run"])
def test_only_a_flag_outside_a_dry_run_writes(subject, matrix, dry_run):
    folder = subject["folder"]
    bvec, bval = write_fsl(folder, subject["dirs"] @ matrix.T, subject["bvals"], "in")
    out = outputs(folder)
    report = json.loads(_quorvex.repair(subject["dwi"], **out, bvec=bvec, bval=bval,
                                        dry_run=dry_run, provenance=str(folder / "p.json")))
    flagged = not np.array_equal(matrix, np.eye(3))
    written = flagged and not dry_run
    assert report["flip"]["decision"] == ("FLAG" if flagged else "PASS")
    assert ("repair" in report) == flagged
    assert sorted(os.listdir(folder)) == sorted(
        ["dwi.nii.gz", "in.bvec", "in.bval"] + ["fixed.bvec", "fixed.bval", "p.json"] * written)
    if flagged:
        assert report["repair"]["label"] == report["flip"]["recommended_label"]
        assert report["repair"]["outputs"] == [out["out_bvec"], out["out_bval"]] * written
    if written:
        np.testing.assert_allclose(read_bvec(out["out_bvec"]), subject["dirs"], atol=1e-6)
        assert np.loadtxt(out["out_bval"]).tolist() == subject["bvals"].tolist()
        assert audit_flip(subject, bvec=out["out_bvec"], bval=out["out_bval"])["decision"] == "PASS"


@pytest.mark.parametrize("affine", [
    np.diag([2.0, 2.0, 2.0, 1.0]),
    np.diag([-2.0, 2.0, 2.0, 1.0]),
    np.array([[1.9, -0.6, 0.0, 0], [0.6, 1.9, 0.0, 0], [0.0, 0.0, 2.0, 0], [0, 0, 0, 1]]),
], ids=["positive", "negative", "oblique"])
def test_outputs_in_their_own_frames(tmp_path, affine):
    subject = make_subject(tmp_path, affine)
    rotation = affine[:3, :3] / np.linalg.norm(affine[:3, :3], axis=0)
    fsl_mirror = np.diag([-1.0, 1, 1]) if np.linalg.det(affine[:3, :3]) > 0 else np.eye(3)
    fsl_truth = subject["dirs"] @ fsl_mirror.T
    bvec, bval = write_fsl(tmp_path, fsl_truth @ SWAP_XY.T, subject["bvals"], "bad")
    out = outputs(tmp_path)
    grad = str(tmp_path / "fixed.b")
    provenance = str(tmp_path / "fixed.json")
    report = json.loads(_quorvex.repair(subject["dwi"], **out, bvec=bvec, bval=bval,
                                        out_grad=grad, provenance=provenance))
    assert report["flip"]["decision"] == "FLAG"
    np.testing.assert_allclose(read_bvec(out["out_bvec"]), fsl_truth, atol=1e-6)
    world = np.loadtxt(grad)
    np.testing.assert_allclose(world[:, :3], subject["dirs"] @ rotation.T, atol=1e-6)
    assert audit_flip(subject, grad=grad)["decision"] == "PASS"
    with open(provenance) as f:
        sidecar = json.load(f)
    assert sidecar["outputs"] == report["repair"]["outputs"] == [out["out_bvec"],
                                                                 out["out_bval"], grad]
    assert sidecar["frame"]["input_format"] == "fsl"
    assert sidecar["frame"]["emitted_mrtrix"] is True
    assert sidecar["applied_label"] == report["flip"]["recommended_label"]
    assert [i["path"] for i in sidecar["inputs"]] == [bvec, bval]


def test_recompute_bval_on_an_amplitude_encoded_multishell_table(tmp_path):
    rng = np.random.default_rng(0)
    unit = rng.normal(size=(60, 3))
    unit /= np.linalg.norm(unit, axis=1, keepdims=True)
    scale = np.repeat([np.sqrt(1 / 3), np.sqrt(2 / 3), 1.0], 20)
    dirs = np.vstack([np.zeros((3, 3)), unit * scale[:, None]])
    bvec, bval = write_fsl(tmp_path, dirs, np.array([0.0] * 3 + [3000.0] * 60), "amp")
    kw = {**outputs(tmp_path), "bvec": bvec, "bval": bval, "provenance": str(tmp_path / "p.json")}
    dry = json.loads(_quorvex.recompute_bval(**kw, dry_run=True))
    assert dry["outputs"] == [] and sorted(os.listdir(tmp_path)) == ["amp.bval", "amp.bvec"]
    summary = json.loads(_quorvex.recompute_bval(**kw))
    assert summary == {**dry, "outputs": [kw["out_bvec"], kw["out_bval"]]}
    assert list(summary) == ["b_nominal", "max_norm", "b_min", "b_max", "before", "after",
                             "outputs"]
    assert (summary["b_min"], summary["b_max"]) == (pytest.approx(1000), 3000)
    assert summary["before"] == [{"nominal_b": 0.0, "count": 3},
                                 {"nominal_b": 3000.0, "count": 60}]
    assert [s["nominal_b"] for s in summary["after"]] == [0.0, 1000.0, 2000.0, 3000.0]
    np.testing.assert_allclose(np.linalg.norm(read_bvec(kw["out_bvec"])[3:], axis=1), 1.0,
                               atol=2e-6)
    with open(tmp_path / "p.json") as f:
        note = json.load(f)["notes"][0]
    assert note.startswith("recompute-bval: recovered b-values from amplitude-encoded bvecs "
                           "(b_nominal=3000, max |g|=1.0000)")
    bvec, bval = write_fsl(tmp_path, np.zeros((3, 3)), np.zeros(3), "b0")
    with pytest.raises(ValueError, match="^no usable non-b0 shell for flip detection$"):
        _quorvex.recompute_bval(**outputs(tmp_path), bvec=bvec, bval=bval, dry_run=True)
