import json
import os
import pathlib

import numpy as np
import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]


def fixture_dir() -> pathlib.Path:
    shared = os.environ.get("QUELT_SHARED_DIR", str(REPO.parent / "shared"))
    return pathlib.Path(shared) / "fixtures" / "real-yolo"


@pytest.fixture(scope="session")
def real():
    """The real network outputs beside the checkout, or a skip."""
    folder = fixture_dir()
    manifest = folder / "manifest.json"
    if not manifest.is_file():
        pytest.skip(f"real network fixtures not found in {folder}")
    return folder, json.loads(manifest.read_text())


def load(path) -> np.ndarray:
    return np.load(path, allow_pickle=False)
