"""audit_dataset() against audit_bids(): the same files and answers, whatever the executor."""

import io
import json
import os
import re
import shutil
from concurrent.futures import ThreadPoolExecutor

import nibabel as nib
import numpy as np
import pytest

import _quorvex
from quorvex import _ext, bids
from synthetic import dwi, hemisphere

DIRS = np.vstack([np.zeros((2, 3)), hemisphere(30)])
BVALS = np.array([0.0, 0.0] + [1000.0] * 30)
TABLES = {
    "PASS": DIRS,
    "FLAG": DIRS @ np.diag([-1.0, 1.0, 1.0]),
    "WARN": DIRS * np.where(np.arange(32) % 3 != 0, 0.5, 1.0)[:, None],
}
SIDECAR = ('{"PhaseEncodingDirection": "j-", "TotalReadoutTime": 0.0512, '
           '"MultibandAccelerationFactor": 3}')
# 14 runs: every status, sidecars, a fitting brain mask and one on another grid, and two runs
# in different sessions that share a report name (the later one's report must win).
RUNS = [(f"sub-{s:02d}/ses-{t}/dwi/sub-{s:02d}_ses-{t}_dwi", ["PASS", "FLAG", "WARN"][(s + t) % 3])
        for s in range(1, 7) for t in (1, 2)]
RUNS += [("sub-07/ses-1/dwi/sub-07_dwi", "PASS"), ("sub-07/ses-2/dwi/sub-07_dwi", "FLAG")]


@pytest.fixture(scope="module")
def image(tmp_path_factory):
    path = tmp_path_factory.mktemp("image") / "dwi.nii.gz"
    nib.save(nib.Nifti1Image(dwi(DIRS, BVALS), np.diag([-2.0, 2.0, 2.0, 1.0])), path)
    return path


def add_run(root, relative, image, status="PASS"):
    base = root / relative
    base.parent.mkdir(parents=True, exist_ok=True)
    np.savetxt(f"{base}.bvec", TABLES[status].T, fmt="%.8f")
    np.savetxt(f"{base}.bval", BVALS[None], fmt="%g")
    shutil.copyfile(image, f"{base}.nii.gz")


def outputs(root):
    """Every file audit_bids leaves, by name; reports without their time stamp."""
    folder = root / "derivatives" / "quorvex"
    files = {}
    for path in sorted(folder.iterdir()):
        text = path.read_text()
        if path.name.endswith("_report.json"):
            text, stamps = re.subn(r'\n  "timestamp": "[^"]*",', "", text)
            assert stamps == 1
        files[path.name] = text
    return files


def fresh(root):
    shutil.rmtree(root / "derivatives" / "quorvex", ignore_errors=True)


@pytest.fixture(scope="module")
def dataset(tmp_path_factory, image):
    """The dataset and what audit_bids answered and wrote for it."""
    root = tmp_path_factory.mktemp("dataset")
    for k, (relative, status) in enumerate(RUNS):
        add_run(root, relative, image, status)
        if k % 4 == 0:
            (root / f"{relative}.json").write_text(SIDECAR)
    brain = np.zeros((14, 14, 6), np.uint8)
    brain[2:-2, 2:-2, 1:-1] = 1
    folder = root / "sub-02/ses-1/dwi"
    nib.save(nib.Nifti1Image(np.ones((4, 4, 4), np.uint8), np.eye(4)), folder / "a_T1w_mask.nii")
    nib.save(nib.Nifti1Image(brain, np.eye(4)), folder / "b_brain_mask.nii.gz")
    answer = _quorvex.audit_bids(str(root))
    expected = outputs(root)
    assert len(expected) == len(RUNS)  # 13 report names and the summary
    assert {item["status"] for item in json.loads(answer)["results"]} == set(TABLES)
    return root, answer, expected


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    # Loopback only, no dashboard: the test opens no port another host could reach.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client


OPTIONS = {"step": 1.0, "tolerance": 0.1, "shell": 1000.0, "norm_tolerance": 0.1}


class TestSameOutputs:
    @pytest.mark.parametrize("executor, options", [
        (None, {}), ("process", OPTIONS), ("thread", {}), ("dask", {}),
    ])
    def test_every_executor_writes_what_audit_bids_writes(self, dataset, request, executor,
                                                          options):
        root, answer, expected = dataset
        if options:
            answer = _quorvex.audit_bids(str(root), **options)
            expected = outputs(root)
        fresh(root)
        pools = {"process": lambda: bids.process_pool(2), "thread": lambda: ThreadPoolExecutor(3),
                 "dask": lambda: request.getfixturevalue("dask_client").get_executor()}
        if executor is None:
            got = bids.audit_dataset(str(root), progress=False, **options)
        elif executor == "dask":
            got = bids.audit_dataset(str(root), executor=pools[executor](), progress=False)
        else:
            with pools[executor]() as pool:
                got = bids.audit_dataset(str(root), executor=pool, progress=False, **options)
        assert got == answer
        assert outputs(root) == expected

class TestFailures:
    def test_first_failing_run_in_discovery_order_stops_the_dataset(self, tmp_path, image):
        for k in range(12):
            add_run(tmp_path, f"sub-{k:02d}/dwi/sub-{k:02d}_dwi", image)
        # Two broken runs: the batch names the first, whichever finishes first here.
        for k in (5, 9):
            np.savetxt(tmp_path / f"sub-{k:02d}/dwi/sub-{k:02d}_dwi.bvec", DIRS[:-1].T, fmt="%.8f")
        with pytest.raises(ValueError) as sequential:
            _quorvex.audit_bids(str(tmp_path))
        assert "sub-05_dwi.bvec" in str(sequential.value)
        fresh(tmp_path)
        with ThreadPoolExecutor(2) as pool, pytest.raises(ValueError) as parallel:
            bids.audit_dataset(str(tmp_path), executor=pool, progress=False)
        assert str(parallel.value) == str(sequential.value)
        written = {p.name for p in (tmp_path / "derivatives" / "quorvex").iterdir()}
        assert "dataset_summary.json" not in written
        assert {f"sub-{k:02d}_dwi_report.json" for k in range(5)} <= written
        assert "sub-05_dwi_report.json" not in written

    def test_failure_crosses_process_boundaries_unchanged(self, tmp_path, image):
        add_run(tmp_path, "sub-01/dwi/sub-01_dwi", image)
        add_run(tmp_path, "sub-02/dwi/sub-02_dwi", image)
        (tmp_path / "sub-02/dwi/sub-02_dwi.nii.gz").write_bytes(b"not an image")
        with pytest.raises(ValueError) as sequential:
            _quorvex.audit_bids(str(tmp_path))
        with bids.process_pool(2) as pool, pytest.raises(ValueError) as parallel:
            bids.audit_dataset(str(tmp_path), executor=pool, progress=False)
        assert str(parallel.value) == str(sequential.value)

    def test_strict_refusal_of_a_run(self, dataset):
        root, _, _ = dataset
        fresh(root)
        with pytest.raises(ValueError) as sequential:
            _quorvex.audit_bids(str(root), strict=True)
        assert ": amplitude-encoded bvecs (--strict)" in str(sequential.value)
        fresh(root)
        with bids.process_pool(2) as pool, pytest.raises(ValueError) as parallel:
            bids.audit_dataset(str(root), executor=pool, progress=False, strict=True)
        assert str(parallel.value) == str(sequential.value)
        assert not (root / "derivatives/quorvex/dataset_summary.json").exists()

    def test_refusals_before_any_run(self, tmp_path):
        with pytest.raises(ValueError) as sequential:
            _quorvex.audit_bids(str(tmp_path))
        with pytest.raises(ValueError) as parallel:
            bids.audit_dataset(str(tmp_path), executor=ThreadPoolExecutor(1))
        assert str(parallel.value) == str(sequential.value)
        with pytest.raises(TypeError, match=r"^audit_dataset\(\) got an unexpected keyword "
                                            r"argument 'mask'$"):
            bids.audit_dataset(str(tmp_path), mask="m.nii")
        with pytest.raises(TypeError, match="^argument 'strict': 'int' object is not an instance"):
            bids.audit_dataset(str(tmp_path), strict=1)
        assert not (tmp_path / "derivatives").exists()


class TestProgress:
    class Terminal(io.StringIO):
        def isatty(self):
            return True

    @pytest.mark.parametrize("stream, progress, shown", [
        (Terminal, True, True),
        (Terminal, False, False),
        (io.StringIO, True, False),
    ])
    def test_bar_on_a_terminal_only(self, tmp_path, image, monkeypatch, capsys, stream, progress,
                                    shown):
        pytest.importorskip("tqdm")
        for k in range(3):
            add_run(tmp_path, f"sub-{k}/dwi/sub-{k}_dwi", image)
        err = stream()
        monkeypatch.setattr("sys.stderr", err)
        with ThreadPoolExecutor(2) as pool:
            bids.audit_dataset(str(tmp_path), executor=pool, progress=progress)
        assert ("3/3" in err.getvalue()) is shown
        assert err.getvalue() == "" or shown
        assert capsys.readouterr().out == ""


def threads_after_audit(out_dir, entry, share):
    """In a worker process: audit one run with the driver's pool share, then count threads."""
    bids._audit_runs(out_dir, [(entry, "probe_dwi")], share, {})
    return len(os.listdir("/proc/self/task"))


class TestWorkerShare:
    def test_each_process_runs_its_share_of_the_pool_threads(self, tmp_path, image):
        cores = bids.available_cores()
        if cores < 2 or not os.path.isdir("/proc/self/task"):
            pytest.skip("needs two cores and /proc to count threads")
        add_run(tmp_path, "sub-01/dwi/sub-01_dwi", image)
        out_dir, entries = _ext.discover(str(tmp_path))
        counts = {}
        for workers in (1, cores):
            with bids.process_pool(workers) as pool:
                share = bids._pool_share(pool)
                assert share == cores // workers
                counts[workers] = pool.submit(threads_after_audit, out_dir, entries[0],
                                              share).result()
        # A process alone uses every core; one of `cores` processes adds no pool thread at all.
        assert counts[1] - counts[cores] == cores - 1


class TestBatchModule:
    def test_entries_are_plain_picklable_values(self, tmp_path, image):
        add_run(tmp_path, "sub-01/dwi/sub-01_dwi", image)
        (tmp_path / "sub-01/dwi/sub-01_dwi.json").write_text("{}")
        out_dir, entries = _ext.discover(str(tmp_path))
        base = str(tmp_path / "sub-01/dwi/sub-01_dwi")
        assert out_dir == str(tmp_path / "derivatives" / "quorvex")
        assert entries == [(base + ".nii.gz", base + ".bvec", base + ".bval", (),
                            base + ".json")]
        assert _ext.run_name(entries[0]) == "sub-01_dwi"

    def test_undecodable_paths_round_trip(self, tmp_path, image):
        add_run(tmp_path, os.fsdecode(b"sub-\xff/dwi/sub-01_dwi"), image)
        out_dir, entries = _ext.discover(str(tmp_path))
        status = _ext.audit_entry(out_dir, entries[0], "sub-01_dwi")
        answer = _ext.write_summary(str(tmp_path), [("sub-01_dwi", entries[0][0], status)])
        fresh(tmp_path)
        assert _quorvex.audit_bids(str(tmp_path)) == answer

    def test_malformed_arguments(self, tmp_path):
        with pytest.raises(TypeError, match="^argument 'entry': expected a run"):
            _ext.run_name(("a", "b"))
        with pytest.raises(TypeError, match="^argument 'entry': 'int' object is not an instance"):
            _ext.run_name((1, "b", "c", (), None))
        with pytest.raises(ValueError, match="^a run status is PASS, WARN or FLAG, not 'OK'$"):
            _ext.write_summary(str(tmp_path), [("a_dwi", "a_dwi.nii", "OK")])
        with pytest.raises(ValueError, match="^workers must be a whole number of at least 1"):
            _ext.set_worker_limit(0)
