"""SIGINT stops a long call at its next block: KeyboardInterrupt, nothing
committed, no temporary file left. Each case runs in a child interpreter, so
that a signal arriving late cannot reach the test runner."""

import hashlib
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest
import soundfile

CHILD = textwrap.dedent("""
    import os, signal, sys, threading, time
    import sonorik, sonorik_meter
    call = {call}
    sent = []
    def interrupt():
        time.sleep({delay})
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)
    threading.Thread(target=interrupt, daemon=True).start()
    try:
        call()
    except KeyboardInterrupt:
        print(f"interrupted {{time.monotonic() - sent[0]:.3f}}")
    else:
        print("finished")
""")

# The call, and when the signal comes: measuring ten minutes takes about
# 0.3 s here, normalising them about 1.5 s.
CALLS = {
    "measure": ("lambda: sonorik_meter.measure(src)", 0.05),
    "normalize in place": ("lambda: sonorik_meter.normalize(src, src, target=-30.0)", 0.3),
    "normalize to another file": ("lambda: sonorik_meter.normalize(src, dst, target=-30.0)", 0.3),
}


@pytest.fixture(scope="module")
def ten_minutes(tmp_path_factory):
    path = tmp_path_factory.mktemp("long") / "long.wav"
    rng = np.random.default_rng(1)
    with soundfile.SoundFile(path, "w", 48000, 2, "PCM_16") as f:
        for _ in range(60):
            f.write(rng.standard_normal((480000, 2)) * 0.05)
    return path


@pytest.mark.parametrize("case", CALLS)
def test_sigint_stops_the_call_and_commits_nothing(case, ten_minutes, tmp_path):
    src = tmp_path / "in.wav"
    src.write_bytes(ten_minutes.read_bytes())
    before = hashlib.sha256(src.read_bytes()).hexdigest()
    dst = tmp_path / "out.wav"
    code = f"src, dst = {str(src)!r}, {str(dst)!r}\n" + CHILD.format(call=CALLS[case][0], delay=CALLS[case][1])
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.stdout.startswith("interrupted"), out.stdout + out.stderr
    assert float(out.stdout.split()[1]) < 1.0  # stopped at a block, not at the end
    assert hashlib.sha256(src.read_bytes()).hexdigest() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.wav"]
