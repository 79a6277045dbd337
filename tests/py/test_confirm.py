"""The confirmed verdict at the package boundary: the dict, the real-data answers and the CLI's
use of it for repairs and datasets."""

import json
import shutil
from pathlib import Path

import numpy as np
import pytest

import quorvex
from quorvex import cli, phantom, verdict

KEYS = {"decision", "best", "runner_up", "relative_gap", "bootstrap_gap_5", "worst_half_gap",
        "seeds", "mask_voxels", "coherence_agrees", "reasons"}


def real(shared_data: Path, name: str) -> dict[str, Path]:
    stem = shared_data / "real" / name / f"{name}_dwi"
    return {"dwi": Path(f"{stem}.nii.gz"), "bvec": Path(f"{stem}.bvec"),
            "bval": Path(f"{stem}.bval")}


def permuted(bvec: Path, label: str, folder: Path) -> Path:
    out = folder / f"{label}.bvec"
    np.savetxt(out, phantom.candidate_matrix(label) @ np.loadtxt(bvec), fmt="%.8f")
    return out


@pytest.mark.parametrize(("name", "corruption", "decision", "label"), [
    ("philips_dti_2mm_crop", None, "PASS", "+x+y+z"),
    ("philips_dti_2mm_crop_ras", "-x+y+z", "FLAG", "-x+y+z"),
    ("siemens_xa30_b2500_ap", "+y+x+z", "FLAG", "+y+x+z"),
    # A brain-only crop the coherence verdict calls FLAG on the shipped table.
    ("dipy_small_64d", None, "WARN", None),
])
def test_real_data(shared_data, tmp_path, name, corruption, decision, label):
    files = real(shared_data, name)
    if corruption:
        files["bvec"] = permuted(files["bvec"], corruption, tmp_path)
    answer = quorvex.confirm_flip(**files)  # path-like arguments
    assert KEYS <= answer.keys()
    assert answer["decision"] == decision
    if decision == "WARN":
        assert answer["reasons"] and "recommended_label" not in answer
    else:
        assert answer["reasons"] == [] and answer["best"]["label"] == label
        assert answer["relative_gap"] >= 0.15 and answer["coherence_agrees"]
        assert answer["best"]["mean_length_mm"] > answer["runner_up"]["mean_length_mm"]


def test_repair_writes_only_what_the_confirmed_verdict_decides(shared_data, tmp_path, capsys):
    files = {k: str(v) for k, v in real(shared_data, "dipy_small_64d").items()}
    out = ["--out-bvec", str(tmp_path / "o.bvec"), "--out-bval", str(tmp_path / "o.bval"),
           "--provenance", str(tmp_path / "p.json")]
    table = ["--bvec", files["bvec"], "--bval", files["bval"]]
    # The coherence verdict is a false FLAG here; the confirmed one is WARN and writes nothing.
    assert cli.main(["repair", files["dwi"], *table, *out]) == cli.EXIT_WARN
    assert list(tmp_path.iterdir()) == []
    capsys.readouterr()
    crop = {k: str(v) for k, v in real(shared_data, "philips_dti_2mm_crop").items()}
    flipped = permuted(Path(crop["bvec"]), "-x+y+z", tmp_path)
    cli.main(["repair", crop["dwi"], "--bvec", str(flipped), "--bval", crop["bval"], *out])
    assert "meaning: the table's x axis is mirrored" in capsys.readouterr().out
    sidecar = json.loads((tmp_path / "p.json").read_text())
    assert sidecar["applied_label"] == sidecar["confirmed"]["recommended_label"] == "-x+y+z"
    assert sidecar["flip"]["decision"] == "FLAG"  # both opinions are recorded
    np.testing.assert_allclose(np.loadtxt(tmp_path / "o.bvec"), np.loadtxt(crop["bvec"]),
                               atol=1e-6)


def test_dataset_statuses_are_the_confirmed_ones(shared_data, tmp_path, capsys):
    folder = tmp_path / "sub-01" / "dwi"
    folder.mkdir(parents=True)
    extensions = {"dwi": ".nii.gz", "bvec": ".bvec", "bval": ".bval"}
    for kind, path in real(shared_data, "dipy_small_64d").items():
        shutil.copy(path, folder / f"sub-01_dwi{extensions[kind]}")
    code = cli.main(["bids", str(tmp_path), "--quiet", "--json"])
    document = json.loads(capsys.readouterr().out)
    # The coherence verdict's false FLAG on this crop becomes WARN.
    assert code == cli.EXIT_WARN and [r["status"] for r in document["results"]] == ["WARN"]
    report = json.loads(next((tmp_path / "derivatives" / "quorvex").glob("*_report.json"))
                        .read_text())
    assert report["flip"]["decision"] == "FLAG" and report["confirmed_status"] == "WARN"


@pytest.mark.parametrize(("label", "words"), [
    ("-x+y+z", "the table's x axis is mirrored"),
    ("-x-y+z", "the table's x and y axes are mirrored"),
    ("+y+x+z", "the table's x and y axes are swapped"),
    ("+z+x+y", "the table's axes are rotated (x from z, y from x, z from y)"),
    ("+x-z+y", "the table's y and z axes are swapped; the table's y axis is mirrored"),
])
def test_repairs_in_words(label, words):
    assert verdict.describe(label) == words
