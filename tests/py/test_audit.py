"""audit(), detect_flip() and audit_profiled() on small synthetic images and real data."""

import json

import nibabel as nib
import numpy as np
import pytest

import _quorvex
from synthetic import SHAPE, without_timestamp, write_fsl


def flip_of(text):
    return json.loads(text)["flip"]


def test_grad_file_is_read_in_world_axes(subject, tmp_path):
    # With affine diag(-2, 2, 2) world x runs against voxel x.
    world = subject["dirs"] * np.array([-1.0, 1.0, 1.0])
    grad = tmp_path / "t.b"
    np.savetxt(grad, np.column_stack([world, subject["bvals"]]), fmt="%.8f")
    assert flip_of(_quorvex.audit(grad=str(grad), dwi=subject["dwi"]))["decision"] == "PASS"
    # The same numbers as an FSL pair are mirrored relative to the image.
    bvec, bval = write_fsl(tmp_path, world, subject["bvals"], "w")
    assert flip_of(_quorvex.audit(bvec, bval, dwi=subject["dwi"]))["decision"] == "FLAG"


def test_correct_table_passes_default_step_is_four_millimetres_mask_is_used(subject, tmp_path):
    bvec, bval = write_fsl(subject["folder"], subject["dirs"], subject["bvals"])
    default = without_timestamp(_quorvex.audit(bvec, bval, dwi=subject["dwi"]))
    assert default["status"] == default["flip"]["decision"] == "PASS"
    assert default["flip"]["best"]["label"] in ("+x+y+z", "-x-y-z")
    assert list(default)[6:10] == ["shells", "b0_drift", "angular", "flip"]
    assert default["b0_drift"]["indices"] == [0, 1]
    assert without_timestamp(_quorvex.audit(bvec, bval, dwi=subject["dwi"], step=2)) == default
    assert without_timestamp(_quorvex.audit(bvec, bval, dwi=subject["dwi"], step=1)) != default
    mask = np.zeros(SHAPE, np.uint8)
    mask[2:12, 2:12, 1:5] = 1
    nib.save(nib.Nifti1Image(mask, np.diag([-2.0, 2, 2, 1])), tmp_path / "mask.nii")
    flip = flip_of(_quorvex.audit(bvec, bval, dwi=subject["dwi"], mask=str(tmp_path / "mask.nii")))
    assert flip["n_wm_voxels"] == 400


def image(shape, value=1.0):
    return nib.Nifti1Image(np.full(shape, value, np.float32), np.eye(4))


# What the pipeline refuses once the files are read: (rows of the table kept, the table, an
# input replaced by another image, the call, its options, the text).
REFUSALS = {
    "short table": (31, "true", None, "audit", {},
                    "^volume mismatch: 31 gradients but 32 DWI volumes$"),
    "mask grid": (32, "true", ("mask", image((3, 3, 3))), "audit", {},
                  "^mask grid mismatch: mask has 27 voxels but the DWI grid has 1176$"),
    "3-D image": (2, "true", ("dwi", image(SHAPE)), "audit", {},
                  "^volume mismatch: 2 gradients but 1 DWI volumes$"),
    "empty mask": (32, "true", ("mask", image(SHAPE, 0.0)), "audit", {},
                   "^DTI fit failed: no WM voxels above the FA threshold$"),
    "absent shell": (32, "b0", None, "detect_flip", {"shell": 1000},
                     "^no usable non-b0 shell for flip detection$"),
    "strict": (32, "amplitude", None, "audit", {"strict": True},
               r"^amplitude-encoded bvecs \(--strict\): "),
}


@pytest.mark.parametrize("rows, kind, replaced, call, options, text", REFUSALS.values(),
                         ids=REFUSALS)
def test_refusals(subject, tmp_path, rows, kind, replaced, call, options, text):
    dirs, bvals = subject["dirs"][:rows], subject["bvals"][:rows]
    if kind == "amplitude":
        dirs = dirs * np.where(np.arange(rows) % 3 != 0, 0.5, 1.0)[:, None]
    bvec, bval = write_fsl(tmp_path, dirs, bvals * (kind != "b0"), "t")
    files = {"dwi": subject["dwi"], "bvec": bvec, "bval": bval}
    if replaced:
        nib.save(replaced[1], tmp_path / "replaced.nii")
        files[replaced[0]] = str(tmp_path / "replaced.nii")
    with pytest.raises(ValueError, match=text):
        getattr(_quorvex, call)(**files, **options)


def test_detect_has_no_scheme_sections_and_no_gate(subject, tmp_path):
    amplitude = subject["dirs"] * np.where(np.arange(32) % 3 != 0, 0.5, 1.0)[:, None]
    bvec, bval = write_fsl(tmp_path, amplitude, subject["bvals"], "amp")
    report = json.loads(_quorvex.detect_flip(subject["dwi"], bvec, bval))
    assert list(report) == ["schema_version", "tool", "tool_version", "timestamp", "status",
                            "inputs", "scheme", "flip", "notes"]
    assert report["status"] == report["flip"]["decision"]


def test_profiled_report_and_timings(subject):
    bvec, bval = write_fsl(subject["folder"], subject["dirs"], subject["bvals"])
    text, timings = _quorvex.audit_profiled(subject["dwi"], bvec, bval)
    assert set(timings) == {"decompress", "convert", "fit", "coherence", "other", "total"}
    assert all(isinstance(v, float) and v >= 0.0 for v in timings.values())
    parts = sum(timings[k] for k in ("decompress", "convert", "fit", "coherence"))
    assert timings["other"] == pytest.approx(max(timings["total"] - parts, 0.0), abs=1e-9)
    assert without_timestamp(text) == without_timestamp(
        _quorvex.audit(bvec, bval, dwi=subject["dwi"]))


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
