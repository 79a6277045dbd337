"""Shared fixtures: paths to the read-only real data beside the checkout."""

from pathlib import Path

import pytest

from synthetic import make_subject

SHARED_DATA = Path(__file__).resolve().parents[2].parent / "shared" / "data"


@pytest.fixture
def shared_data() -> Path:
    if not SHARED_DATA.is_dir():
        pytest.skip("real data folder ../shared/data is not present in this checkout")
    return SHARED_DATA


@pytest.fixture
def subject(tmp_path):
    """A synthetic DWI with straight oblique bundles and its correct table."""
    return make_subject(tmp_path)


@pytest.fixture(scope="session")
def run_image(tmp_path_factory):
    """The subject's image, written once, for the runs of BIDS datasets."""
    return make_subject(tmp_path_factory.mktemp("image"))["dwi"]
