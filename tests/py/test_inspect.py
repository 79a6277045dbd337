"""inspect() and audit() without an image: which table is read, and the options reaching the
scheme report. The report's rules are the C++ suite's."""

import inspect
import json

import nibabel as nib
import numpy as np
import pytest

import _quorvex
from synthetic import hemisphere, without_timestamp, write_fsl


@pytest.mark.parametrize("kwargs", [{}, {"bvec": "missing.bvec"}, {"bval": "x.bval"}])
def test_incomplete_arguments_read_nothing(kwargs):
    with pytest.raises(ValueError, match=r"^provide bvec and bval, or grad$"):
        _quorvex.inspect(**kwargs)


def test_grad_wins_over_the_pair(tmp_path):
    grad = tmp_path / "g.b"
    grad.write_text("# header\n0 0 0 0\n1 0 0 1000 # c\n")
    r = json.loads(_quorvex.inspect(bvec="/nonexistent.bvec", bval="/nonexistent.bval",
                                    grad=str(grad)))
    assert r["scheme"] == {"directions": [[0.0, 0.0, 0.0], [1.0, 0.0, 0.0]],
                           "bvals": [0.0, 1000.0]}
    assert [i["path"] for i in r["inputs"]] == [str(grad)]


def test_report_layout_and_audit_without_an_image(tmp_path):
    dirs = np.vstack([np.zeros((1, 3)), hemisphere(20), hemisphere(20) * [-1, 1, 1]])
    bvec, bval = write_fsl(tmp_path, dirs, np.array([0] + [1000] * 20 + [2000] * 20))
    plain = without_timestamp(_quorvex.inspect(bvec, bval))
    assert list(plain) == ["schema_version", "tool", "tool_version", "status", "inputs",
                           "scheme", "shells", "angular", "norm_stats", "notes"]
    assert (plain["status"], plain["tool_version"]) == ("PASS", "1.1.4")
    assert [s["nominal_b"] for s in plain["shells"]["shells"]] == [0.0, 1000.0, 2000.0]
    # Without an image the flip options change nothing and audit is inspect.
    assert without_timestamp(_quorvex.inspect(bvec, bval, shell=2000)) == plain
    assert without_timestamp(_quorvex.audit(bvec, bval, step=3.0, shell=1000)) == plain
    assert (without_timestamp(_quorvex.audit(bvec, bval, strict=True, tolerance=0.2))
            == without_timestamp(_quorvex.inspect(bvec, bval, strict=True, tolerance=0.2)))
    # A mask without an image is read but not applied.
    mask = tmp_path / "m.nii"
    nib.save(nib.Nifti1Image(np.ones((2, 2, 2), np.uint8), np.eye(4)), mask)
    assert without_timestamp(_quorvex.audit(bvec, bval, mask=str(mask))) == plain


def test_thresholds_and_tolerances_are_passed_on_and_the_defaults_are_the_printed_ones(tmp_path):
    bvec, bval = write_fsl(tmp_path, np.array([[0, 0, 0], [1, 0, 0], [0, 1.2, 0]]),
                           np.array([60, 1000, 1100]))
    r = json.loads(_quorvex.inspect(bvec=bvec, bval=bval))
    defaults = inspect.signature(_quorvex.inspect).parameters
    assert r["shells"]["b0_threshold"] == defaults["b0_threshold"].default
    assert r["shells"]["tolerance"] == defaults["tolerance"].default
    assert r["norm_stats"]["tolerance"] == defaults["norm_tolerance"].default
    r = json.loads(_quorvex.inspect(bvec=bvec, bval=bval, b0_threshold=100, tolerance=0.2,
                                    norm_tolerance=0.25))
    assert r["shells"]["b0_threshold"] == 100.0 and r["shells"]["tolerance"] == 0.2
    assert [s["count"] for s in r["shells"]["shells"]] == [1, 2]
    assert r["norm_stats"]["non_unit_count"] == 0 and r["norm_stats"]["tolerance"] == 0.25


def test_every_shipped_table_passes(shared_data):
    for folder in sorted((shared_data / "real").iterdir()):
        if not folder.is_dir():
            continue
        stem = folder / f"{folder.name}_dwi"
        fsl = without_timestamp(_quorvex.inspect(f"{stem}.bvec", f"{stem}.bval"))
        grad = without_timestamp(_quorvex.inspect(grad=f"{stem}.b"))
        assert fsl["status"] == grad["status"] == "PASS", folder.name
        # Both files describe the same acquisition: the same shells.
        assert ([s["count"] for s in fsl["shells"]["shells"]]
                == [s["count"] for s in grad["shells"]["shells"]]), folder.name
