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

    @pytest.mark.parametrize("statuses, overall, exit_code", [
        (["PASS"], "PASS", 0),
        (["FLAG", "PASS"], "FLAG", 0),
        (["PASS", "WARN"], "WARN", 3),
        (["PASS", "FLAG", "WARN"], "FLAG", 0),
    ])
    def test_exit_code_blocks_only_on_warn(self, tmp_path, image, statuses, overall, exit_code):
        for k, status in enumerate(statuses):
            add_run(tmp_path, f"sub-{k}/dwi/sub-{k}_dwi", image, status)
        answer = json.loads(_quorvex.audit_bids(str(tmp_path)))
        assert [item["status"] for item in answer["results"]] == statuses
        assert (answer["status"], answer["exit_code"]) == (overall, exit_code)

    def test_no_runs_names_the_root_as_given(self, tmp_path, image):
        add_run(tmp_path, "derivatives/quorvex/sub-01_dwi", image)
        for root in (str(tmp_path), str(tmp_path / "absent"), str(tmp_path) + "//"):
            with pytest.raises(ValueError) as caught:
                _quorvex.audit_bids(root)
            assert str(caught.value) == NO_RUNS.format(root)


class TestFiles:
    def test_summary_and_reports(self, tmp_path, image):
        add_run(tmp_path, "sub-01/ses-1/dwi/sub-01_ses-1_dwi", image, "WARN",
                sidecar='{"PhaseEncodingDirection": "j-", "TotalReadoutTime": 0.0512, '
                        '"MultibandAccelerationFactor": 3, "EchoTime": 0.08}')
        add_run(tmp_path, "sub-01/ses-2/dwi/sub-01_ses-2_dwi", image,
                sidecar='{"MultibandAccelerationFactor": 2.0}')
        answer = json.loads(_quorvex.audit_bids(str(tmp_path)))
        text = (out_folder(tmp_path) / "dataset_summary.json").read_text()
        summary = json.loads(text)
        # Two-space indentation, ": " after keys, no trailing line feed: Python's own layout.
        assert text == json.dumps(summary, indent=2, ensure_ascii=False)
        assert list(summary) == sorted(summary)
        assert summary == {"bids_root": str(tmp_path), "n_datasets": 2,
                           "results": answer["results"], "status": "WARN", "tool": "quorvex"}
        warn = json.loads((out_folder(tmp_path) / "sub-01_ses-1_dwi_report.json").read_text())
        passed = json.loads((out_folder(tmp_path) / "sub-01_ses-2_dwi_report.json").read_text())
        assert warn["status"] == "WARN"
        assert warn["notes"][-1] == "BIDS sidecar: PE=j-, TRT=0.0512s, MB=3"
        assert passed["status"] == "PASS"
        assert not any(note.startswith("BIDS sidecar") for note in passed["notes"])
        assert [entry["path"] for entry in passed["inputs"]] == [
            str(tmp_path / "sub-01/ses-2/dwi/sub-01_ses-2_dwi.bvec"),
            str(tmp_path / "sub-01/ses-2/dwi/sub-01_ses-2_dwi.bval")]

    def test_first_failure_stops_the_batch(self, tmp_path, image):
        add_run(tmp_path, "sub-01/dwi/sub-01_dwi", image)
        add_run(tmp_path, "sub-02/dwi/sub-02_dwi", image)
        bvec = tmp_path / "sub-02/dwi/sub-02_dwi.bvec"
        np.savetxt(bvec, DIRS[:-1].T, fmt="%.8f")
        add_run(tmp_path, "sub-03/dwi/sub-03_dwi", image)
        with pytest.raises(ValueError) as caught:
            _quorvex.audit_bids(str(tmp_path))
        assert str(caught.value) == (f"sub-02_dwi: failed to parse {bvec}: bvec shape does not "
                                     "match the b-value count")
        assert sorted(p.name for p in out_folder(tmp_path).iterdir()) == ["sub-01_dwi_report.json"]

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


class TestHostileTrees:
    def test_symlink_loop_is_walked_once(self, tmp_path, image):
        add_run(tmp_path, "sub-01/dwi/sub-01_dwi", image)
        os.symlink("..", tmp_path / "sub-01" / "dwi" / "loop")
        os.symlink(tmp_path, tmp_path / "sub-01" / "back_to_root")
        answer = json.loads(_quorvex.audit_bids(str(tmp_path)))
        assert [run["name"] for run in answer["results"]] == ["sub-01_dwi"]

    def test_image_that_vanishes_after_discovery(self, tmp_path, image):
        from quorvex import _ext

        add_run(tmp_path, "sub-01/dwi/sub-01_dwi", image)
        out_dir, entries = _ext.discover(str(tmp_path))
        os.remove(tmp_path / "sub-01" / "dwi" / "sub-01_dwi.nii.gz")
        with pytest.raises(ValueError) as caught:
            _ext.audit_entry(out_dir, entries[0], _ext.run_name(entries[0]))
        dwi = tmp_path / "sub-01" / "dwi" / "sub-01_dwi.nii.gz"
        assert str(caught.value) == (f"sub-01_dwi: {dwi}: NIfTI error: No such file or directory "
                                     "(os error 2)")
        assert not os.path.exists(os.path.join(out_dir, "sub-01_dwi_report.json"))

    def test_table_that_vanishes_after_discovery(self, tmp_path, image):
        from quorvex import _ext

        add_run(tmp_path, "sub-01/dwi/sub-01_dwi", image)
        out_dir, entries = _ext.discover(str(tmp_path))
        os.remove(tmp_path / "sub-01" / "dwi" / "sub-01_dwi.bval")
        with pytest.raises(ValueError,
                           match=r"^sub-01_dwi: .*sub-01_dwi\.bval: I/O error: No such "):
            _ext.audit_entry(out_dir, entries[0], _ext.run_name(entries[0]))
