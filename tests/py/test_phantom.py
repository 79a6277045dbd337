"""The synthetic phantom: its NIfTI files, the frames of its tables, corruption and tensor truth."""

import gzip

import nibabel as nib
import numpy as np
import pytest

from quorvex import phantom

SMALL = (24, 24, 16)
PRESETS = ["ras", "las", "oblique"]


def rotoreflection():
    """An affine no preset covers: a reflection, uneven voxel sizes and an offset origin."""
    q, _ = np.linalg.qr(np.random.default_rng(7).standard_normal((3, 3)))
    if np.linalg.det(q) > 0:
        q[:, 0] = -q[:, 0]
    affine = np.eye(4)
    affine[:3, :3] = q * [1.5, 2.0, 2.5]
    affine[:3, 3] = [-30.5, 12.25, 40.0]
    return affine


@pytest.fixture(scope="module")
def phantoms():
    """One small single-shell phantom per affine preset, shared by the tests that only read."""
    return {name: phantom.make_phantom(shape=SMALL, affine=name, shells=((1000, 32),), seed=11)
            for name in PRESETS}


def written_tables(tmp_path, p, corruption=None):
    """The phantom's FSL and MRtrix tables as numbers read back from the files."""
    bvec, bval, grad = tmp_path / "t.bvec", tmp_path / "t.bval", tmp_path / "t.b"
    phantom.write_fsl(bvec, bval, p, corruption=corruption)
    phantom.write_mrtrix(grad, p, corruption=corruption)
    return np.loadtxt(bvec), np.loadtxt(bval), np.loadtxt(grad)


def voxel_from_fsl(bvec, affine):
    """FSL keeps a radiological voxel frame: its x axis runs mirrored on a det > 0 image."""
    mirror = np.diag([-1.0, 1.0, 1.0]) if np.linalg.det(affine[:3, :3]) > 0 else np.eye(3)
    return (mirror @ bvec).T


def voxel_from_world(rows, affine):
    """World directions carried onto the voxel axes by the inverse affine, then made unit."""
    steps = rows @ np.linalg.inv(affine[:3, :3]).T
    norms = np.linalg.norm(steps, axis=1, keepdims=True)
    return np.divide(steps, norms, out=np.zeros_like(steps), where=norms > 0)


class TestNiftiFile:
    @pytest.mark.parametrize("affine", [*PRESETS, "rotoreflection"])
    def test_nibabel_reads_back_shape_type_and_both_transforms(self, tmp_path, affine):
        matrix = (rotoreflection() if affine == "rotoreflection"
                  else phantom.affine_preset(affine, SMALL, 2.0))
        data = np.random.default_rng(1).integers(-3000, 30000, (*SMALL, 5), dtype=np.int16)
        path = tmp_path / "dwi.nii.gz"
        phantom.write_nifti(path, data, matrix)
        image = nib.load(path)
        assert image.shape == (*SMALL, 5)
        # nibabel's loaded header folds the scaling away; the fields as stored are read raw.
        with gzip.open(path) as fh:
            header = nib.Nifti1Header.from_fileobj(fh, check=True)
        assert header.get_data_dtype() == np.dtype("<i2")
        assert header.endianness == "<"
        assert header.get_slope_inter() == (1.0, 0.0)
        assert float(header["vox_offset"]) == 352.0
        assert (int(header["sform_code"]), int(header["qform_code"])) == (1, 1)
        # The header holds float32, so the transforms match to float32 precision.
        np.testing.assert_allclose(image.get_sform(), matrix, atol=1e-5)
        np.testing.assert_allclose(image.get_qform(), matrix, atol=1e-5)
        np.testing.assert_allclose(header.get_zooms()[:3], np.linalg.norm(matrix[:3, :3], axis=0))
        np.testing.assert_array_equal(np.asarray(image.dataobj), data)

class TestTables:
    @pytest.mark.parametrize("preset", PRESETS)
    def test_files_describe_the_voxel_directions_and_corruption_acts_in_each_frame(
            self, tmp_path, phantoms, preset):
        p = phantoms[preset]
        bvec, bval, grad = written_tables(tmp_path, p)
        assert bvec.shape == (3, p.bvals.size) and grad.shape == (p.bvals.size, 4)
        np.testing.assert_array_equal(bval, p.bvals)
        np.testing.assert_array_equal(grad[:, 3], p.bvals)
        np.testing.assert_allclose(voxel_from_fsl(bvec, p.affine), p.directions, atol=1e-7)
        np.testing.assert_allclose(voxel_from_world(grad[:, :3], p.affine), p.directions, atol=1e-7)
        for label, matrix in phantom.candidates():
            bad_bvec, bad_bval, bad_grad = written_tables(tmp_path, p, corruption=label)
            np.testing.assert_allclose(bad_bvec, matrix @ bvec, atol=1e-8, err_msg=label)
            np.testing.assert_allclose(bad_grad[:, :3], grad[:, :3] @ matrix.T, atol=1e-8)
            np.testing.assert_array_equal(bad_grad[:, 3], bad_bval)

    def test_frame_rules_reproduce_mrtrix3_on_real_acquisitions(self, shared_data):
        # MRtrix3 wrote these .b files from the scanners' FSL pairs and affines: an oracle for
        # the FSL -> voxel -> world chain on real, oblique and positive-determinant headers.
        checked = 0
        for grad in sorted((shared_data / "real").glob("*/*_dwi.b")):
            stem = str(grad)[: -len(".b")]
            affine = nib.load(stem + ".nii.gz").affine
            voxel = voxel_from_fsl(np.loadtxt(stem + ".bvec"), affine)
            expected = np.loadtxt(grad)[:, :3]
            weighted = np.linalg.norm(expected, axis=1) > 0.5
            expected = expected[weighted] / np.linalg.norm(expected[weighted], axis=1)[:, None]
            written = phantom.world_directions(voxel, affine)[weighted]
            np.testing.assert_allclose(written, expected, atol=1e-6, err_msg=grad.name)
            checked += 1
        assert checked > 0

    def test_shells_b0_placement_and_spread(self):
        p = phantom.make_phantom(shape=(12, 12, 8), shells=((1000, 30), (2000, 45)), n_b0=5, seed=4)
        b0 = np.flatnonzero(p.bvals == 0)
        assert b0.size == 5 and b0[0] == 0 and np.diff(b0).min() > 10
        assert np.count_nonzero(p.bvals == 1000) == 30
        assert np.count_nonzero(p.bvals == 2000) == 45
        np.testing.assert_array_equal(p.directions[b0], 0.0)
        for b, worst in ((1000, 18.0), (2000, 14.0)):
            g = p.directions[p.bvals == b]
            np.testing.assert_allclose(np.linalg.norm(g, axis=1), 1.0, atol=1e-12)
            cosines = np.abs(g @ g.T) - 2 * np.eye(len(g))
            # Antipodal pairs count as duplicates: a diffusion direction has no sign.
            assert np.degrees(np.arccos(cosines.max())) > worst

    @pytest.mark.parametrize("affine, message", [
        ("lps", "unknown affine preset 'lps': expected one of ['las', 'oblique', 'ras']"),
        (np.eye(3), "expected a 4 x 4 affine, got shape (3, 3)"),
    ])
    def test_unknown_geometry_is_refused(self, affine, message):
        with pytest.raises(ValueError) as caught:
            phantom.make_phantom(shape=(8, 8, 8), affine=affine)
        assert str(caught.value) == message


class TestSignal:
    @pytest.mark.parametrize("snr", [10.0, 40.0])
    def test_noise_level_follows_the_snr(self, snr):
        p = phantom.make_phantom(shape=SMALL, snr=snr, n_b0=6, seed=5)
        b0 = p.data[..., p.bvals == 0].astype(np.float64)
        background = b0[p.tissue == phantom.BACKGROUND]
        white = b0[p.tissue == phantom.WHITE]
        sigma = 1000.0 / snr
        # Pure noise is Rayleigh distributed: mean sigma * sqrt(pi / 2).
        assert background.mean() == pytest.approx(sigma * np.sqrt(np.pi / 2), rel=0.03)
        assert white.mean() == pytest.approx(1000.0, rel=0.02)
        assert white.std() == pytest.approx(sigma, rel=0.1)

    @pytest.mark.parametrize("preset", PRESETS)
    def test_dipy_tensors_follow_the_bundles(self, tmp_path, phantoms, preset):
        pytest.importorskip("dipy", reason="dipy is not installed: pip install dipy")
        from dipy.core.gradients import gradient_table
        from dipy.reconst.dti import TensorModel

        p = phantoms[preset]
        phantom.write_nifti(tmp_path / "dwi.nii.gz", p.data, p.affine)
        image = nib.load(tmp_path / "dwi.nii.gz")
        data = np.asarray(image.dataobj)
        bvec, bval, grad = written_tables(tmp_path, p)
        wm = p.white_matter
        assert wm.sum() > 200

        def agreement(directions):
            """Mean |cos| between dipy's principal axes and the truth, and the share within 10°."""
            fit = TensorModel(gradient_table(bval, bvecs=directions)).fit(data, mask=wm)
            cosines = np.abs((fit.evecs[..., 0][wm] * p.tangent[wm]).sum(axis=-1))
            return cosines.mean(), np.mean(cosines > np.cos(np.radians(10.0)))

        # dipy takes the directions along the voxel axes as given, with no FSL mirroring.
        for directions in (voxel_from_fsl(bvec, image.affine),
                           voxel_from_world(grad[:, :3], image.affine)):
            mean, close = agreement(directions)
            assert mean > 0.95 and close > 0.97
        _, close = agreement(bvec.T)
        if np.linalg.det(image.affine[:3, :3]) > 0:
            # The mirror matters: read without it, every fibre with an x and another component
            # (the arch, the fans, the diagonal tracts) comes out bent.
            assert close < 0.8
        else:
            assert close > 0.97
