import importlib
import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))


@pytest.fixture(scope="session")
def probe():
    """The test-only extension that throws inside the frame's boundary."""
    where = os.environ.get("SONORIK_PROBE_DIR")
    if not where:
        pytest.skip("SONORIK_PROBE_DIR not set (the probe module is built with the C++ tests)")
    sys.path.insert(0, where)
    try:
        return importlib.import_module("_sonorik_probe")
    finally:
        sys.path.remove(where)
