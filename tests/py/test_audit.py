"""audit(), detect_flip() and audit_profiled() on small synthetic images."""

import json

import nibabel as nib
import numpy as np
import pytest

import _quorvex
from synthetic import SHAPE, write_fsl


def flip_of(text):
    return json.loads(text)["flip"]


def without_timestamp(text):
    document = json.loads(text)
    document.pop("timestamp")
    return document


class TestAudit:
    def test_correct_table_passes(self, subject):
        bvec, bval = write_fsl(subject["folder"], subject["dirs"], subject["bvals"])
        report = json.loads(_quorvex.audit(bvec, bval, dwi=subject["dwi"]))
        assert report["flip"]["decision"] == "PASS"
        assert report["flip"]["best"]["label"] in ("+x+y+z", "-x-y-z")
        assert report["status"] == "PASS"
        assert list(report)[7:11] == ["shells", "b0_drift", "angular", "flip"]
        assert report["b0_drift"]["indices"] == [0, 1]
        assert len(report["flip"]["ranking"]) == 48

    def test_grad_file_is_read_in_world_axes(self, subject, tmp_path):
        # With affine diag(-2, 2, 2) world x runs against voxel x.
        world = subject["dirs"] * np.array([-1.0, 1.0, 1.0])
        grad = tmp_path / "t.b"
        np.savetxt(grad, np.column_stack([world, subject["bvals"]]), fmt="%.8f")
        assert flip_of(_quorvex.audit(grad=str(grad), dwi=subject["dwi"]))["decision"] == "PASS"
        # The same numbers as an FSL pair are mirrored relative to the image.
        bvec, bval = write_fsl(tmp_path, world, subject["bvals"], "w")
        assert flip_of(_quorvex.audit(bvec, bval, dwi=subject["dwi"]))["decision"] == "FLAG"

    def test_default_step_is_four_millimetres(self, subject):
        bvec, bval = write_fsl(subject["folder"], subject["dirs"], subject["bvals"])
        default = without_timestamp(_quorvex.audit(bvec, bval, dwi=subject["dwi"]))
        assert without_timestamp(_quorvex.audit(bvec, bval, dwi=subject["dwi"], step=2)) == default
        assert without_timestamp(_quorvex.audit(bvec, bval, dwi=subject["dwi"], step=1)) != default

    def test_user_mask_is_used_unchanged(self, subject, tmp_path):
        bvec, bval = write_fsl(subject["folder"], subject["dirs"], subject["bvals"])
        mask = np.zeros(SHAPE, np.uint8)
        mask[2:12, 2:12, 1:5] = 1
        path = tmp_path / "mask.nii"
        nib.save(nib.Nifti1Image(mask, np.diag([-2.0, 2, 2, 1])), path)
        flip = flip_of(_quorvex.audit(bvec, bval, dwi=subject["dwi"], mask=str(path)))
        assert flip["n_wm_voxels"] == 400
        nib.save(nib.Nifti1Image(np.zeros(SHAPE, np.uint8), np.eye(4)), path)
        with pytest.raises(ValueError) as caught:
            _quorvex.audit(bvec, bval, dwi=subject["dwi"], mask=str(path))
        assert str(caught.value) == "DTI fit failed: no WM voxels above the FA threshold"

    def test_mismatches(self, subject, tmp_path):
        bvec, bval = write_fsl(tmp_path, subject["dirs"][:-1], subject["bvals"][:-1], "short")
        with pytest.raises(ValueError) as caught:
            _quorvex.audit(bvec, bval, dwi=subject["dwi"])
        assert str(caught.value) == "volume mismatch: 31 gradients but 32 DWI volumes"
        bvec, bval = write_fsl(tmp_path, subject["dirs"], subject["bvals"])
        small = tmp_path / "small_mask.nii"
        nib.save(nib.Nifti1Image(np.ones((3, 3, 3), np.uint8), np.eye(4)), small)
        with pytest.raises(ValueError) as caught:
            _quorvex.audit(bvec, bval, dwi=subject["dwi"], mask=str(small))
        assert str(caught.value) == ("mask grid mismatch: mask has 27 voxels but the DWI grid "
                                     "has 1176")
        three_d = tmp_path / "three_d.nii"
        nib.save(nib.Nifti1Image(np.ones(SHAPE, np.float32), np.eye(4)), three_d)
        bvec2, bval2 = write_fsl(tmp_path, subject["dirs"][:2], subject["bvals"][:2], "two")
        with pytest.raises(ValueError) as caught:
            _quorvex.audit(bvec2, bval2, dwi=str(three_d))
        assert str(caught.value) == "volume mismatch: 2 gradients but 1 DWI volumes"

    def test_image_errors(self, subject, tmp_path):
        bvec, bval = write_fsl(subject["folder"], subject["dirs"], subject["bvals"])
        with pytest.raises(ValueError) as caught:
            _quorvex.audit(bvec, bval, dwi=str(tmp_path / "missing.nii.gz"))
        assert str(caught.value) == "NIfTI error: No such file or directory (os error 2)"
        with pytest.raises(ValueError, match="^NIfTI error: "):
            _quorvex.audit(bvec, bval, mask=str(tmp_path / "missing_mask.nii"))

    def test_mask_without_image_is_read_but_not_applied(self, subject, tmp_path):
        bvec, bval = write_fsl(subject["folder"], subject["dirs"], subject["bvals"])
        path = tmp_path / "m.nii"
        nib.save(nib.Nifti1Image(np.ones((2, 2, 2), np.uint8), np.eye(4)), path)
        assert (without_timestamp(_quorvex.audit(bvec, bval, mask=str(path)))
                == without_timestamp(_quorvex.inspect(bvec, bval)))


class TestDetectAndProfile:
    def test_detect_has_no_scheme_sections_and_no_gate(self, subject, tmp_path):
        amplitude = subject["dirs"] * np.where(np.arange(32) % 3 != 0, 0.5, 1.0)[:, None]
        bvec, bval = write_fsl(tmp_path, amplitude, subject["bvals"], "amp")
        report = json.loads(_quorvex.detect_flip(subject["dwi"], bvec, bval))
        assert list(report) == ["schema_version", "tool", "tool_version", "timestamp", "status",
                                "inputs", "scheme", "flip", "notes"]
        assert report["status"] == report["flip"]["decision"]
        with pytest.raises(ValueError, match="^amplitude-encoded bvecs"):
            _quorvex.audit(bvec, bval, dwi=subject["dwi"], strict=True)

    def test_profiled_report_and_timings(self, subject):
        bvec, bval = write_fsl(subject["folder"], subject["dirs"], subject["bvals"])
        text, timings = _quorvex.audit_profiled(subject["dwi"], bvec, bval)
        assert set(timings) == {"decompress", "convert", "fit", "coherence", "other", "total"}
        assert all(isinstance(v, float) and v >= 0.0 for v in timings.values())
        parts = sum(timings[k] for k in ("decompress", "convert", "fit", "coherence"))
        assert timings["other"] == pytest.approx(max(timings["total"] - parts, 0.0), abs=1e-9)
        assert without_timestamp(text) == without_timestamp(
            _quorvex.audit(bvec, bval, dwi=subject["dwi"]))

    def test_requested_shell_must_exist(self, subject, tmp_path):
        bvec, bval = write_fsl(tmp_path, subject["dirs"], np.zeros(32), "b0s")
        with pytest.raises(ValueError) as caught:
            _quorvex.detect_flip(subject["dwi"], bvec, bval, shell=1000)
        assert str(caught.value) == "no usable non-b0 shell for flip detection"


@pytest.mark.parametrize("call", ["audit", "detect_flip"])
@pytest.mark.parametrize("name", ["philips_dti_2mm_crop", "philips_dti_2mm_crop_ras"])
def test_real_data_mirrored_table_is_flagged_and_the_shipped_one_passes(shared_data, tmp_path,
                                                                         call, name):
    stem = shared_data / "real" / name / f"{name}_dwi"
    dwi = f"{stem}.nii.gz"
    run = getattr(_quorvex, call)
    shipped = json.loads(run(dwi=dwi, bvec=f"{stem}.bvec", bval=f"{stem}.bval"))["flip"]
    from_grad = json.loads(run(dwi=dwi, grad=f"{stem}.b"))["flip"]
    assert shipped["decision"] == from_grad["decision"] == "PASS"
    assert shipped["best"]["label"] == from_grad["best"]["label"] == "+x+y+z"
    mirrored = tmp_path / "mirrored.bvec"
    np.savetxt(mirrored, np.diag([-1.0, 1, 1]) @ np.loadtxt(f"{stem}.bvec"), fmt="%.8f")
    flip = json.loads(run(dwi=dwi, bvec=str(mirrored), bval=f"{stem}.bval"))["flip"]
    assert flip["decision"] == "FLAG"
    assert flip["recommended_label"] in ("-x+y+z", "+x-y-z")
    assert flip["working_b"] == 1000.0
