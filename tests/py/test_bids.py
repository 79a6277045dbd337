"""audit_bids() over small BIDS trees of synthetic runs."""

import json
import os
import shutil

import nibabel as nib
import numpy as np
import pytest

import _quorvex
from synthetic import dwi, hemisphere

DIRS = np.vstack([np.zeros((2, 3)), hemisphere(30)])
BVALS = np.array([0.0, 0.0] + [1000.0] * 30)
# Tables that make a run come out with each status: the true one, one mirrored in x (a
# recommended repair), and one whose directions are mostly not unit length (amplitude-encoded).
TABLES = {
    "PASS": DIRS,
    "FLAG": DIRS @ np.diag([-1.0, 1.0, 1.0]),
    "WARN": DIRS * np.where(np.arange(32) % 3 != 0, 0.5, 1.0)[:, None],
}
NO_RUNS = "no *_dwi NIfTI with sibling bvec/bval (or bvecs/bvals) found under {}"


@pytest.fixture(scope="module")
def image(tmp_path_factory):
    """One DWI whose FSL frame is its voxel frame, copied into every run."""
    path = tmp_path_factory.mktemp("image") / "dwi.nii.gz"
    nib.save(nib.Nifti1Image(dwi(DIRS, BVALS), np.diag([-2.0, 2.0, 2.0, 1.0])), path)
    return path


def add_run(root, relative, image, status="PASS", sidecar=None):
    """`relative` is the run base, e.g. "sub-01/dwi/sub-01_dwi"; returns the image path."""
    base = os.path.join(os.fsencode(root), os.fsencode(relative))
    os.makedirs(os.path.dirname(base), exist_ok=True)
    for suffix, rows, fmt in ((b".bvec", TABLES[status].T, "%.8f"), (b".bval", BVALS[None], "%g")):
        with open(base + suffix, "wb") as f:
            np.savetxt(f, rows, fmt=fmt)
    shutil.copyfile(image, base + b".nii.gz")
    if sidecar is not None:
        with open(base + b".json", "w") as f:
            f.write(sidecar)
    return base + b".nii.gz"


def out_folder(root):
    return root / "derivatives" / "quorvex"


class TestAnswer:
    def test_answer_document_is_compact_with_sorted_keys(self, tmp_path, image):
        second = add_run(tmp_path, "sub-02/dwi/sub-02_dwi", image, "FLAG")
        first = add_run(tmp_path, "sub-01/dwi/sub-01_dwi", image)
        text = _quorvex.audit_bids(str(tmp_path))
        answer = json.loads(text)
        assert text == json.dumps(answer, separators=(",", ":"), ensure_ascii=False)
        assert list(answer) == ["exit_code", "results", "status", "summary_path"]
        assert answer["results"] == [
            {"dwi": os.fsdecode(first), "name": "sub-01_dwi", "status": "PASS"},
            {"dwi": os.fsdecode(second), "name": "sub-02_dwi", "status": "FLAG"},
        ]
        assert all(list(item) == ["dwi", "name", "status"] for item in answer["results"])
        assert answer["summary_path"] == str(out_folder(tmp_path) / "dataset_summary.json")

    def test_no_runs_names_the_root_as_given(self, tmp_path, image):
        add_run(tmp_path, "derivatives/quorvex/sub-01_dwi", image)
        for root in (str(tmp_path), str(tmp_path / "absent"), str(tmp_path) + "//"):
            with pytest.raises(ValueError) as caught:
                _quorvex.audit_bids(root)
            assert str(caught.value) == NO_RUNS.format(root)


class TestFiles:
    def test_rerun_overwrites_and_never_scans_its_outputs(self, tmp_path, image):
        add_run(tmp_path, "sub-01/dwi/sub-01_dwi", image)
        first = _quorvex.audit_bids(str(tmp_path))
        report = out_folder(tmp_path) / "sub-01_dwi_report.json"
        summary = out_folder(tmp_path) / "dataset_summary.json"
        report.write_text("stale")
        summary.write_text("stale")
        # A run left inside the output folder is not a run of the dataset.
        add_run(tmp_path, "derivatives/quorvex/other_dwi", image)
        assert _quorvex.audit_bids(str(tmp_path)) == first
        assert json.loads(report.read_text())["status"] == "PASS"
        assert json.loads(summary.read_text())["n_datasets"] == 1

    def test_undecodable_folder_is_read_by_its_bytes(self, tmp_path, image):
        image_path = add_run(tmp_path, b"sub-\xff/dwi/sub-01_dwi", image)
        answer = json.loads(_quorvex.audit_bids(str(tmp_path)))
        shown = os.fsencode(tmp_path).decode() + "/sub-\ufffd/dwi/sub-01_dwi.nii.gz"
        assert image_path.endswith(b"sub-\xff/dwi/sub-01_dwi.nii.gz")
        assert answer["results"][0]["dwi"] == shown
        report = json.loads((out_folder(tmp_path) / "sub-01_dwi_report.json").read_text())
        assert report["inputs"][0]["path"] == shown[: -len(".nii.gz")] + ".bvec"

    def test_step_reaches_every_run(self, tmp_path, image):
        add_run(tmp_path, "sub-01/dwi/sub-01_dwi", image)
        report = out_folder(tmp_path) / "sub-01_dwi_report.json"

        def coherence(**options):
            _quorvex.audit_bids(str(tmp_path), **options)
            return json.loads(report.read_text())["flip"]["best"]["coherence"]

        # The voxels are 2 mm, so the default probe is 2 voxels.
        assert coherence() == coherence(step=2.0)
        assert coherence() != coherence(step=1.0)
