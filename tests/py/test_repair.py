"""repair() and recompute_bval(): decisions, frames of the outputs, backups and provenance."""

import json
import os

import numpy as np
import pytest

import _quorvex
from synthetic import make_subject, write_fsl

MIRROR_X = np.diag([-1.0, 1.0, 1.0])
SWAP_XY = np.array([[0.0, 1, 0], [1, 0, 0], [0, 0, 1]])


def corrupted(subject, matrix, name="bad"):
    return write_fsl(subject["folder"], subject["dirs"] @ matrix.T, subject["bvals"], name)


def read_bvec(path):
    return np.loadtxt(path).T


def outputs(folder):
    return {"out_bvec": str(folder / "fixed.bvec"), "out_bval": str(folder / "fixed.bval")}


def audit_flip(subject, **table):
    return json.loads(_quorvex.audit(dwi=subject["dwi"], **table))["flip"]


class TestDecisions:
    def test_pass_writes_nothing(self, subject):
        bvec, bval = write_fsl(subject["folder"], subject["dirs"], subject["bvals"])
        report = json.loads(_quorvex.repair(subject["dwi"], **outputs(subject["folder"]),
                                            bvec=bvec, bval=bval))
        assert report["flip"]["decision"] == "PASS"
        assert "repair" not in report
        assert not os.path.exists(subject["folder"] / "fixed.bvec")

    @pytest.mark.parametrize("matrix", [MIRROR_X, SWAP_XY])
    def test_flag_is_repaired_and_reaudits_as_pass(self, subject, matrix):
        bvec, bval = corrupted(subject, matrix)
        out = outputs(subject["folder"])
        report = json.loads(_quorvex.repair(subject["dwi"], **out, bvec=bvec, bval=bval))
        assert report["flip"]["decision"] == "FLAG"
        assert report["repair"]["outputs"] == [out["out_bvec"], out["out_bval"]]
        assert report["repair"]["label"] == report["flip"]["recommended_label"]
        np.testing.assert_allclose(read_bvec(out["out_bvec"]), subject["dirs"], atol=1e-6)
        assert np.loadtxt(out["out_bval"]).tolist() == subject["bvals"].tolist()
        again = audit_flip(subject, bvec=out["out_bvec"], bval=out["out_bval"])
        assert again["decision"] == "PASS"

    def test_dry_run_records_the_repair_and_writes_nothing(self, subject):
        bvec, bval = corrupted(subject, MIRROR_X)
        report = json.loads(_quorvex.repair(subject["dwi"], **outputs(subject["folder"]),
                                            bvec=bvec, bval=bval, dry_run=True,
                                            provenance=str(subject["folder"] / "p.json")))
        assert report["repair"]["outputs"] == []
        assert report["repair"]["label"] in ("-x+y+z", "+x-y-z")
        assert sorted(os.listdir(subject["folder"])) == ["bad.bval", "bad.bvec", "dwi.nii.gz"]

class TestFramesAndProvenance:
    @pytest.mark.parametrize("affine", [
        np.diag([2.0, 2.0, 2.0, 1.0]),
        np.diag([-2.0, 2.0, 2.0, 1.0]),
        np.array([[1.9, -0.6, 0.0, 0], [0.6, 1.9, 0.0, 0], [0.0, 0.0, 2.0, 0], [0, 0, 0, 1]]),
    ], ids=["positive", "negative", "oblique"])
    def test_outputs_in_their_own_frames(self, tmp_path, affine):
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
        assert sidecar["notes"] == []
        assert [i["path"] for i in sidecar["inputs"]] == [bvec, bval]

    def test_provenance_without_grad_and_overwritten_in_place(self, subject):
        bvec, bval = corrupted(subject, MIRROR_X)
        provenance = subject["folder"] / "p.json"
        provenance.write_text("old")
        _quorvex.repair(subject["dwi"], **outputs(subject["folder"]), bvec=bvec, bval=bval,
                        provenance=str(provenance))
        sidecar = json.loads(provenance.read_text())
        assert sidecar["frame"]["emitted_mrtrix"] is False
        assert list(sidecar)[:4] == ["schema_version", "tool", "tool_version", "timestamp"]
        assert not provenance.read_text().endswith("\n")
        assert not os.path.exists(str(provenance) + ".bak")


class TestRecomputeBval:
    def test_amplitude_encoded_multishell(self, tmp_path):
        rng = np.random.default_rng(0)
        unit = rng.normal(size=(60, 3))
        unit /= np.linalg.norm(unit, axis=1, keepdims=True)
        scale = np.repeat([np.sqrt(1 / 3), np.sqrt(2 / 3), 1.0], 20)
        dirs = np.vstack([np.zeros((3, 3)), unit * scale[:, None]])
        bvals = np.array([0.0] * 3 + [3000.0] * 60)
        bvec, bval = write_fsl(tmp_path, dirs, bvals, "amp")
        out = outputs(tmp_path)
        summary = json.loads(_quorvex.recompute_bval(**out, bvec=bvec, bval=bval,
                                                     provenance=str(tmp_path / "p.json")))
        assert list(summary) == ["b_nominal", "max_norm", "b_min", "b_max", "before", "after",
                                 "outputs"]
        assert summary["before"] == [{"nominal_b": 0.0, "count": 3},
                                     {"nominal_b": 3000.0, "count": 60}]
        assert summary["after"] == [{"nominal_b": 0.0, "count": 3},
                                    {"nominal_b": 1000.0, "count": 20},
                                    {"nominal_b": 2000.0, "count": 20},
                                    {"nominal_b": 3000.0, "count": 20}]
        assert summary["outputs"] == [out["out_bvec"], out["out_bval"]]
        written = read_bvec(out["out_bvec"])
        np.testing.assert_allclose(np.linalg.norm(written[3:], axis=1), 1.0, atol=2e-6)
        with open(tmp_path / "p.json") as f:
            note = json.load(f)["notes"][0]
        assert note.startswith("recompute-bval: recovered b-values from amplitude-encoded bvecs "
                               "(b_nominal=3000, max |g|=1.0000)")

    def test_b0_only_and_dry_run(self, tmp_path):
        bvec, bval = write_fsl(tmp_path, np.zeros((3, 3)), np.zeros(3), "b0")
        with pytest.raises(ValueError) as caught:
            _quorvex.recompute_bval(**outputs(tmp_path), bvec=bvec, bval=bval, dry_run=True)
        assert str(caught.value) == "no usable non-b0 shell for flip detection"
        with pytest.raises(ValueError, match="^provide bvec and bval, or grad$"):
            _quorvex.recompute_bval(**outputs(tmp_path), bvec=bvec)
        dirs = np.array([[0, 0, 0], [1, 0, 0], [0, 0.5, 0]], float)
        bvec, bval = write_fsl(tmp_path, dirs, np.array([0.0, 1000, 1000]), "two")
        summary = json.loads(_quorvex.recompute_bval(**outputs(tmp_path), bvec=bvec, bval=bval,
                                                     dry_run=True))
        assert summary["outputs"] == [] and summary["b_min"] == 250.0
        assert not os.path.exists(tmp_path / "fixed.bvec")
