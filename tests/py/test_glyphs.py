"""The *_with_glyphs entries, their payload and the numpy view of it."""

import json
import os
import struct

import nibabel as nib
import numpy as np
import pytest

import _quorvex
import quorvex
from synthetic import without_timestamp, write_fsl

KEYS = ["shape", "affine", "voxel_sizes", "frame_map", "v1", "fa", "s0", "mask"]


@pytest.fixture
def tiny(tmp_path):
    """A 2 x 3 x 4 image with 6 directions and one b0, every voxel anisotropic."""
    rng = np.random.default_rng(4)
    dirs = np.vstack([[0, 0, 0], rng.normal(size=(6, 3))])
    dirs[1:] /= np.linalg.norm(dirs[1:], axis=1, keepdims=True)
    bvals = np.array([0.0] + [1000.0] * 6)
    adc = 3e-4 + 1.4e-3 * dirs[:, 0] ** 2
    data = np.broadcast_to(1000 * np.exp(-bvals * adc), (2, 3, 4, 7)).astype(np.float32)
    path = tmp_path / "tiny.nii"
    nib.save(nib.Nifti1Image(data, np.diag([2.0, 2, 2, 1])), path)
    bvec, bval = write_fsl(tmp_path, dirs, bvals)
    return str(path), bvec, bval


def test_payload_of_a_small_image(tiny):
    dwi, bvec, bval = tiny
    text, payload = _quorvex.audit_with_glyphs(dwi, bvec, bval)
    assert list(payload) == KEYS
    assert payload["shape"] == [2, 3, 4]
    assert [len(payload[k]) for k in ("v1", "fa", "s0", "mask")] == [288, 96, 96, 24]
    assert payload["affine"][3] == [0.0, 0.0, 0.0, 1.0]
    assert payload["voxel_sizes"] == [2.0, 2.0, 2.0]
    assert payload["frame_map"] == [[-1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
    field = quorvex.to_arrays(payload)
    report = json.loads(text)
    assert int(field.mask.sum()) == report["flip"]["n_wm_voxels"]
    assert field.s0[1, 2, 3] == pytest.approx(1000.0, rel=1e-5)
    assert abs(field.v1[0, 0, 0, 0]) == pytest.approx(1.0, abs=1e-4)
    # The buffers are little-endian float32; every voxel's reference signal is the b0 sample.
    assert payload["s0"] == struct.pack("<f", 1000.0) * 24
    assert all(0.0 < value < 1.0 for value in struct.unpack("<24f", payload["fa"]))
    assert set(payload["mask"]) <= {0, 1}


@pytest.mark.parametrize("twin, plain", [
    ("audit_with_glyphs", "audit"), ("detect_flip_with_glyphs", "detect_flip"),
    ("audit_profiled_with_glyphs", "audit_profiled"), ("repair_with_glyphs", "repair"),
])
def test_glyph_twins_return_their_twins_report(subject, twin, plain):
    folder = subject["folder"]
    bvec, bval = write_fsl(folder, subject["dirs"] * [-1, 1, 1], subject["bvals"])
    kwargs = {"dwi": subject["dwi"], "bvec": bvec, "bval": bval}
    if plain == "repair":
        kwargs |= {"out_bvec": str(folder / "o.bvec"), "out_bval": str(folder / "o.bval"),
                   "dry_run": True}
    before = sorted(os.listdir(folder))
    got = getattr(_quorvex, twin)(**kwargs)
    want = getattr(_quorvex, plain)(**kwargs)
    want = want[0] if isinstance(want, tuple) else want
    assert without_timestamp(got[0]) == without_timestamp(want)
    assert list(got[-1]) == KEYS
    assert np.all(np.isfinite(np.frombuffer(got[-1]["v1"], "<f4")))
    if plain == "audit_profiled":
        assert set(got[1]) == {"decompress", "convert", "fit", "coherence", "other", "total"}
    assert sorted(os.listdir(folder)) == before


def test_plot_draws_the_slice_and_the_ranking(subject, tmp_path):
    pytest.importorskip("matplotlib")
    from quorvex.plot import plot

    bvec, bval = write_fsl(subject["folder"], subject["dirs"], subject["bvals"])
    text, payload = _quorvex.audit_with_glyphs(subject["dwi"], bvec, bval)
    figure = plot(text, payload, path=str(tmp_path / "verdict.png"))
    assert (tmp_path / "verdict.png").stat().st_size > 1000
    assert len(figure.axes) == 2
    import matplotlib.pyplot as plt

    plt.close(figure)
