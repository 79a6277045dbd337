"""audit_bids() and audit_dataset() over small BIDS trees: the answer, the same files whatever
the executor, the first failure, and the private module's dataset steps."""

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
from synthetic import DIRS, add_run

SIDECAR = ('{"PhaseEncodingDirection": "j-", "TotalReadoutTime": 0.0512, '
           '"MultibandAccelerationFactor": 3}')
# 14 runs: every status, sidecars, a fitting brain mask and one on another grid, and two runs
# in different sessions that share a report name (the later one's report must win).
RUNS = [(f"sub-{s:02d}/ses-{t}/dwi/sub-{s:02d}_ses-{t}_dwi", ["PASS", "FLAG", "WARN"][(s + t) % 3])
        for s in range(1, 7) for t in (1, 2)]
RUNS += [("sub-07/ses-1/dwi/sub-07_dwi", "PASS"), ("sub-07/ses-2/dwi/sub-07_dwi", "FLAG")]


def outputs(root):
    """Every file audit_bids leaves, by name; reports without their time stamp."""
    files = {}
    for path in sorted((root / "derivatives" / "quorvex").iterdir()):
        text = path.read_text()
        if path.name.endswith("_report.json"):
            text, stamps = re.subn(r'\n  "timestamp": "[^"]*",', "", text)
            assert stamps == 1
        files[path.name] = text
    return files


def fresh(root):
    shutil.rmtree(root / "derivatives" / "quorvex", ignore_errors=True)


@pytest.fixture(scope="module")
def dataset(tmp_path_factory, run_image):
    """The dataset and what audit_bids answered and wrote for it."""
    root = tmp_path_factory.mktemp("dataset")
    for k, (relative, status) in enumerate(RUNS):
        add_run(root, relative, run_image, status)
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
    return root, answer, expected


def test_answer_is_compact_json_with_sorted_keys(dataset):
    root, text, _ = dataset
    answer = json.loads(text)
    assert text == json.dumps(answer, separators=(",", ":"), ensure_ascii=False)
    assert list(answer) == ["exit_code", "results", "status", "summary_path"]
    assert answer["results"][0] == {"dwi": f"{root}/{RUNS[0][0]}.nii.gz",
                                    "name": "sub-01_ses-1_dwi", "status": "WARN"}
    assert [r["status"] for r in answer["results"]] == [status for _, status in RUNS]
    assert (answer["status"], answer["exit_code"]) == ("FLAG", 0)
    assert answer["summary_path"] == str(root / "derivatives" / "quorvex" / "dataset_summary.json")


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    # Loopback only, no dashboard: the test opens no port another host could reach.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client


OPTIONS = {"step": 1.0, "tolerance": 0.1, "shell": 1000.0, "norm_tolerance": 0.1}


@pytest.mark.parametrize("executor, options", [
    (None, {}), ("process", OPTIONS), ("thread", {}), ("dask", {}),
])
def test_every_executor_writes_what_audit_bids_writes(dataset, request, executor, options):
    root, answer, expected = dataset
    if options:
        answer = _quorvex.audit_bids(str(root), **options)
        # The options reach the runs.
        assert outputs(root) != expected
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


@pytest.mark.parametrize("executor, broken", [
    ("thread", "bvec"), ("process", "image"), ("process", "strict"),
])
def test_the_first_failing_run_in_discovery_order_stops_the_dataset(tmp_path, run_image,
                                                                    executor, broken):
    # Two failing runs: the dataset names the first, whichever finishes first here.
    for k in range(12):
        kind = "WARN" if broken == "strict" and k in (5, 9) else "PASS"
        add_run(tmp_path, f"sub-{k:02d}/dwi/sub-{k:02d}_dwi", run_image, kind)
        base = tmp_path / f"sub-{k:02d}/dwi/sub-{k:02d}_dwi"
        if k in (5, 9) and broken == "bvec":
            np.savetxt(f"{base}.bvec", DIRS[:-1].T, fmt="%.8f")
        if k in (5, 9) and broken == "image":
            (base.parent / f"{base.name}.nii.gz").write_bytes(b"not an image")
    options = {"strict": True} if broken == "strict" else {}
    with pytest.raises(ValueError) as sequential:
        _quorvex.audit_bids(str(tmp_path), **options)
    assert str(sequential.value).startswith("sub-05_dwi: ")
    fresh(tmp_path)
    pool = ThreadPoolExecutor(2) if executor == "thread" else bids.process_pool(2)
    with pool, pytest.raises(ValueError) as parallel:
        bids.audit_dataset(str(tmp_path), executor=pool, progress=False, **options)
    assert str(parallel.value) == str(sequential.value)
    written = {p.name for p in (tmp_path / "derivatives" / "quorvex").iterdir()}
    assert {f"sub-{k:02d}_dwi_report.json" for k in range(5)} <= written
    assert not {"sub-05_dwi_report.json", "dataset_summary.json"} & written


def test_refusals_before_any_run(tmp_path):
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


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("stream, progress, shown", [
    (Terminal, True, True), (Terminal, False, False), (io.StringIO, True, False),
])
def test_progress_bar_on_a_terminal_only(tmp_path, run_image, monkeypatch, capsys, stream,
                                         progress, shown):
    pytest.importorskip("tqdm")
    for k in range(3):
        add_run(tmp_path, f"sub-{k}/dwi/sub-{k}_dwi", run_image)
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


def test_each_process_runs_its_share_of_the_pool_threads(tmp_path, run_image):
    cores = bids.available_cores()
    if cores < 2 or not os.path.isdir("/proc/self/task"):
        pytest.skip("needs two cores and /proc to count threads")
    add_run(tmp_path, "sub-01/dwi/sub-01_dwi", run_image)
    out_dir, entries = _ext.discover(str(tmp_path))
    counts = {}
    for workers in (1, cores):
        with bids.process_pool(workers) as pool:
            share = bids._pool_share(pool)
            assert share == cores // workers
            counts[workers] = pool.submit(threads_after_audit, out_dir, entries[0], share).result()
    # A process alone uses every core; one of `cores` processes adds no pool thread at all.
    assert counts[1] - counts[cores] == cores - 1


def test_entries_are_plain_picklable_values_and_malformed_ones_are_refused(tmp_path, run_image):
    add_run(tmp_path, "sub-01/dwi/sub-01_dwi", run_image)
    (tmp_path / "sub-01/dwi/sub-01_dwi.json").write_text("{}")
    out_dir, entries = _ext.discover(str(tmp_path))
    base = str(tmp_path / "sub-01/dwi/sub-01_dwi")
    assert out_dir == str(tmp_path / "derivatives" / "quorvex")
    assert entries == [(base + ".nii.gz", base + ".bvec", base + ".bval", (), base + ".json")]
    assert _ext.run_name(entries[0]) == "sub-01_dwi"
    with pytest.raises(TypeError, match="^argument 'entry': expected a run"):
        _ext.run_name(("a", "b"))
    with pytest.raises(TypeError, match="^argument 'entry': 'int' object is not an instance"):
        _ext.run_name((1, "b", "c", (), None))
    with pytest.raises(ValueError, match="^a run status is PASS, WARN or FLAG, not 'OK'$"):
        _ext.write_summary(str(tmp_path), [("a_dwi", "a_dwi.nii", "OK")])
    with pytest.raises(ValueError, match="^workers must be a whole number of at least 1"):
        _ext.set_worker_limit(0)


def test_undecodable_folder_is_read_by_its_bytes(tmp_path, run_image):
    image = add_run(tmp_path, b"sub-\xff/dwi/sub-01_dwi", run_image)
    out_dir, entries = _ext.discover(str(tmp_path))
    assert entries[0][0] == image
    status = _ext.audit_entry(out_dir, entries[0], "sub-01_dwi")
    answer = _ext.write_summary(str(tmp_path), [("sub-01_dwi", entries[0][0], status)])
    fresh(tmp_path)
    assert _quorvex.audit_bids(str(tmp_path)) == answer
    shown = os.fsencode(tmp_path).decode() + "/sub-\ufffd/dwi/sub-01_dwi.nii.gz"
    assert json.loads(answer)["results"][0]["dwi"] == shown
    report = json.loads((tmp_path / "derivatives/quorvex/sub-01_dwi_report.json").read_text())
    assert report["inputs"][0]["path"] == shown[: -len(".nii.gz")] + ".bvec"
