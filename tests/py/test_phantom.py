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
    return {
        name: phantom.make_phantom(shape=SMALL, affine=name, shells=((1000, 32),), seed=11)
        for name in PRESETS
    }


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
        matrix = (
            rotoreflection()
            if affine == "rotoreflection"
            else phantom.affine_preset(affine, SMALL, 2.0)
        )
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

    def test_a_mask_is_written_as_a_3d_uint8_image(self, tmp_path):
        mask = np.zeros(SMALL, dtype=np.uint8)
        mask[3:9, 2:20, 5] = 1
        phantom.write_nifti(tmp_path / "mask.nii", mask, phantom.affine_preset("las", SMALL))
        image = nib.load(tmp_path / "mask.nii")
        assert image.header.get_data_dtype() == np.uint8
        np.testing.assert_array_equal(np.asarray(image.dataobj), mask)

    def test_gzip_holds_the_plain_file_and_repeats_byte_for_byte(self, tmp_path):
        data = np.arange(np.prod(SMALL) * 2, dtype=np.int16).reshape((*SMALL, 2))
        affine = phantom.affine_preset("oblique", SMALL)
        phantom.write_nifti(tmp_path / "a.nii", data, affine)
        phantom.write_nifti(tmp_path / "a.nii.gz", data, affine)
        phantom.write_nifti(tmp_path / "b.nii.gz", data, affine)
        packed = (tmp_path / "a.nii.gz").read_bytes()
        assert gzip.decompress(packed) == (tmp_path / "a.nii").read_bytes()
        assert packed == (tmp_path / "b.nii.gz").read_bytes()

    @pytest.mark.parametrize("data", [np.zeros((2, 2, 2), np.float64), np.zeros((2, 2), np.int16)])
    def test_unsupported_arrays_are_refused(self, tmp_path, data):
        with pytest.raises(ValueError, match="expected 3-D or 4-D int16, uint8 or float32 data"):
            phantom.write_nifti(tmp_path / "x.nii", data, np.eye(4))


class TestTables:
    @pytest.mark.parametrize("preset", PRESETS)
    def test_fsl_and_mrtrix_files_describe_the_same_voxel_directions(
        self, tmp_path, phantoms, preset
    ):
        p = phantoms[preset]
        bvec, bval, grad = written_tables(tmp_path, p)
        assert bvec.shape == (3, p.bvals.size)
        assert grad.shape == (p.bvals.size, 4)
        np.testing.assert_array_equal(bval, p.bvals)
        np.testing.assert_array_equal(grad[:, 3], p.bvals)
        np.testing.assert_allclose(voxel_from_fsl(bvec, p.affine), p.directions, atol=1e-7)
        np.testing.assert_allclose(voxel_from_world(grad[:, :3], p.affine), p.directions, atol=1e-7)

    def test_the_frames_differ_where_they_should(self, tmp_path, phantoms):
        ras, _, ras_grad = written_tables(tmp_path, phantoms["ras"])
        las, _, _ = written_tables(tmp_path, phantoms["las"])
        # Same seed, same voxel-frame table: the RAS bvec is the LAS one mirrored in x, and the
        # RAS world frame is the voxel frame itself.
        np.testing.assert_array_equal(ras[0], -las[0])
        np.testing.assert_array_equal(ras[1:], las[1:])
        np.testing.assert_allclose(ras_grad[:, :3], phantoms["ras"].directions, atol=1e-8)

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

    @pytest.mark.parametrize(
        "affine, message",
        [
            ("lps", "unknown affine preset 'lps': expected one of ['las', 'oblique', 'ras']"),
            (np.eye(3), "expected a 4 x 4 affine, got shape (3, 3)"),
        ],
    )
    def test_unknown_geometry_is_refused(self, affine, message):
        with pytest.raises(ValueError) as caught:
            phantom.make_phantom(shape=(8, 8, 8), affine=affine)
        assert str(caught.value) == message


class TestCorruption:
    def test_candidate_set_is_the_48_signed_permutations(self):
        found = phantom.candidates()
        labels = [label for label, _ in found]
        matrices = np.array([m for _, m in found])
        assert len(found) == 48 and len(set(labels)) == 48
        assert np.array_equal(matrices[0], np.eye(3))
        # The order is shared with the detector's ranking: permutations outer, signs inner.
        assert labels[0::8] == ["+x+y+z", "+x+z+y", "+y+x+z", "+y+z+x", "+z+x+y", "+z+y+x"]
        assert labels[:8] == [
            "+x+y+z",
            "-x+y+z",
            "+x-y+z",
            "-x-y+z",
            "+x+y-z",
            "-x+y-z",
            "+x-y-z",
            "-x-y-z",
        ]
        assert labels[47] == "-z-y-x"
        assert np.array_equal(np.abs(matrices).sum(axis=1), np.ones((48, 3)))
        assert np.array_equal(np.abs(matrices).sum(axis=2), np.ones((48, 3)))
        for index in range(48):
            antipode = 8 * (index // 8) + 7 - index % 8
            assert np.array_equal(matrices[antipode], -matrices[index])

    @pytest.mark.parametrize(
        "label, expected",
        [
            ("+x+y+z", [1, 2, 3]),
            ("-x+y+z", [-1, 2, 3]),
            ("+y+x+z", [2, 1, 3]),
            ("+z+x+y", [3, 1, 2]),
            ("+x+z-y", [1, 3, -2]),
            ("-z-y-x", [-3, -2, -1]),
        ],
    )
    def test_label_spells_what_the_matrix_does(self, label, expected):
        rows = np.array([[1.0, 2.0, 3.0], [0.0, 0.0, 0.0]])
        np.testing.assert_array_equal(phantom.corrupt(rows, label), [expected, [0.0, 0.0, 0.0]])

    @pytest.mark.parametrize("label", [label for label, _ in phantom.candidates()])
    def test_every_corruption_is_undone_by_its_transpose(self, phantoms, label):
        matrix = phantom.candidate_matrix(label)
        inverse = [name for name, m in phantom.candidates() if np.array_equal(m, matrix.T)]
        assert len(inverse) == 1
        table = phantoms["oblique"].directions
        damaged = phantom.corrupt(table, label)
        assert np.array_equal(damaged, table) == (label == "+x+y+z")
        np.testing.assert_array_equal(phantom.corrupt(damaged, inverse[0]), table)

    @pytest.mark.parametrize("preset", ["ras", "oblique"])
    def test_written_corruption_acts_in_the_frame_of_each_file(self, tmp_path, phantoms, preset):
        clean_bvec, _, clean_grad = written_tables(tmp_path, phantoms[preset])
        for label, matrix in phantom.candidates():
            bvec, bval, grad = written_tables(tmp_path, phantoms[preset], corruption=label)
            np.testing.assert_allclose(bvec, matrix @ clean_bvec, atol=1e-8, err_msg=label)
            np.testing.assert_allclose(grad[:, :3], clean_grad[:, :3] @ matrix.T, atol=1e-8)
            np.testing.assert_array_equal(grad[:, 3], bval)

    def test_unknown_label_is_refused(self):
        with pytest.raises(ValueError, match="unknown candidate label: '\\+x\\+x\\+z'"):
            phantom.corrupt(np.zeros((1, 3)), "+x+x+z")


class TestSignal:
    def test_a_seed_fixes_the_image_and_only_noise_depends_on_it(self):
        a = phantom.make_phantom(shape=(16, 16, 12), seed=3)
        b = phantom.make_phantom(shape=(16, 16, 12), seed=3)
        c = phantom.make_phantom(shape=(16, 16, 12), seed=4)
        np.testing.assert_array_equal(a.data, b.data)
        assert not np.array_equal(a.data, c.data)
        np.testing.assert_array_equal(a.tissue, c.tissue)
        np.testing.assert_array_equal(a.tangent, c.tangent)

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

    def test_b0_contrast_orders_the_tissues(self, phantoms):
        p = phantoms["ras"]
        b0 = p.data[..., p.bvals == 0].mean(axis=-1)
        means = [b0[p.tissue == t].mean() for t in (phantom.WHITE, phantom.GREY, phantom.CSF)]
        assert means == sorted(means)

    def test_directional_contrast_ranks_single_fibres_crossings_and_grey(self, phantoms):
        p = phantoms["las"]
        weighted = p.data[..., p.bvals == 1000].astype(np.float64)
        variation = weighted.std(axis=-1) / weighted.mean(axis=-1)
        crossing = (p.tissue == phantom.WHITE) & (p.n_fibres >= 2)
        assert crossing.sum() > 50
        single, crossed, grey = (
            np.median(variation[m]) for m in (p.white_matter, crossing, p.tissue == phantom.GREY)
        )
        # Two fibre populations at an angle blur the directional contrast; grey matter has
        # little left beyond the noise.
        assert single > 1.2 * crossed and crossed > 1.5 * grey

    def test_fibres_continue_along_their_tangent(self):
        p = phantom.make_phantom(shape=(48, 48, 32), shells=((1000, 6),), n_b0=1)
        wm = p.white_matter
        at = np.argwhere(wm)
        tangent = p.tangent[wm]
        helper = np.eye(3)[np.argmin(np.abs(tangent), axis=1)]
        across = np.cross(tangent, helper)
        across /= np.linalg.norm(across, axis=1, keepdims=True)

        def stays_inside(direction):
            hits = []
            for sign in (-2.0, 2.0):
                probe = np.rint(at + sign * direction).astype(int)
                probe = np.clip(probe, 0, np.array(wm.shape) - 1)
                hits.append(p.tissue[tuple(probe.T)] == phantom.WHITE)
            return np.mean(hits)

        # Two voxels ahead or behind, a fibre is mostly still in white matter (tract ends and
        # the brain's edge aside); two voxels sideways, it has often left its bundle.
        assert stays_inside(tangent) > 0.75
        assert stays_inside(tangent) > stays_inside(across) + 0.3

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
        for directions in (
            voxel_from_fsl(bvec, image.affine),
            voxel_from_world(grad[:, :3], image.affine),
        ):
            mean, close = agreement(directions)
            assert mean > 0.95 and close > 0.97
        _, close = agreement(bvec.T)
        if np.linalg.det(image.affine[:3, :3]) > 0:
            # The mirror matters: read without it, every fibre with an x and another component
            # (the arch, the fans, the diagonal tracts) comes out bent.
            assert close < 0.8
        else:
            assert close > 0.97
