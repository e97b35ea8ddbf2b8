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


@pytest.fixture(scope="session")
def result_table():
    """Rows of Markdown result tables, keyed for their order; a table with all
    its rows is written at the end of the session to $SONORIK_RESULTS_DIR
    (default build/), so a partial run leaves the last full table alone."""
    tables: dict = {}
    yield lambda name, header, count: tables.setdefault(name, (header, {}, count))[1]
    out = Path(os.environ.get("SONORIK_RESULTS_DIR") or Path(__file__).parents[2] / "build")
    out.mkdir(parents=True, exist_ok=True)
    for name, (header, rows, count) in tables.items():
        if len(rows) != count:
            continue
        lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
        lines += ["| " + " | ".join(rows[k]) + " |" for k in sorted(rows)]
        (out / name).write_text("\n".join(lines) + "\n")


@pytest.fixture(scope="module")
def ten_minutes(tmp_path_factory):
    """Ten minutes of stereo noise, 16-bit WAV at 48 kHz (long enough to
    interrupt calls on)."""
    import numpy as np
    import soundfile
    path = tmp_path_factory.mktemp("long") / "long.wav"
    rng = np.random.default_rng(1)
    with soundfile.SoundFile(path, "w", 48000, 2, "PCM_16") as f:
        for _ in range(60):
            f.write(rng.standard_normal((480000, 2)) * 0.05)
    return path
