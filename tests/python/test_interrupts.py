"""SIGINT stops a long call at its next block: KeyboardInterrupt, nothing
committed, no temporary file left. Each case runs in a child interpreter, so
that a signal arriving late cannot reach the test runner."""

import hashlib
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

CHILD = textwrap.dedent("""
    import os, subprocess, time
    import sonorik, sonorik_meter
    call = {call}
    # Another process sends the signal (the sonorik module holds the
    # interpreter lock through a call, so no thread of this one could), and
    # notes when it did.
    subprocess.Popen(["sh", "-c", {wait!r} + "; date +%s.%N >{sent}; kill -INT " + str(os.getpid())])
    try:
        call()
    except KeyboardInterrupt:
        print(f"interrupted {{time.time() - float(open({sent!r}).read()):.3f}}")
    else:
        print("finished")
""")

# The call, when the signal comes (seconds in, or "writing": once the
# temporary file appears), and how soon it must stop: measuring ten minutes
# takes about 0.3 s here, normalising them about 1.5 s (the sonorik module's
# about 0.6 s).
FLAGS = "True, True, True, True, True, True, True"
CALLS = {
    "measure": ("lambda: sonorik_meter.measure(src)", 0.05, 1.0),
    "normalize in place": ("lambda: sonorik_meter.normalize(src, src, target=-30.0)", 0.3, 1.0),
    "normalize to another file": ("lambda: sonorik_meter.normalize(src, dst, target=-30.0)", 0.3, 1.0),
    "normalize limited while writing":
        ("lambda: sonorik_meter.normalize(src, dst, target=-6.0, limit=True)", "writing", 1.0),
    "sonorik normalize in place": ("lambda: sonorik.normalize_integrated_loudness(src, -30.0)", 0.3, 0.5),
    "sonorik normalize to another file":
        ("lambda: sonorik.normalize_integrated_loudness(src, -30.0, dst)", 0.3, 0.5),
    "sonorik normalize while writing": ("lambda: sonorik.normalize_rms_average(src, -30.0, dst)", "writing", 0.5),
    "sonorik loader and analyzer": (f"lambda: sonorik.batch_analyze([src], {FLAGS})", 0.05, 0.5),
    "sonorik fast path": ("lambda: sonorik.analyze_audio_all(src)", 0.05, 0.5),
}


@pytest.mark.parametrize("case", CALLS)
def test_sigint_stops_the_call_and_commits_nothing(case, ten_minutes, tmp_path):
    src = tmp_path / "in.wav"
    src.write_bytes(ten_minutes.read_bytes())
    before = hashlib.sha256(src.read_bytes()).hexdigest()
    dst = tmp_path / "out.wav"
    call, when, bound = CALLS[case]
    wait = f"until ls -a {tmp_path} | grep -q '^.sonorik-'; do sleep 0.001; done" if when == "writing" \
        else f"sleep {when}"
    sent = f"{tmp_path}.sent"  # beside the directory, which must hold the input alone
    code = f"src, dst = {str(src)!r}, {str(dst)!r}\n" + CHILD.format(call=call, wait=wait, sent=sent)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    last = out.stdout.splitlines()[-1] if out.stdout else ""  # after the fast path's notices
    assert last.startswith("interrupted"), out.stdout + out.stderr
    assert float(last.split()[1]) < bound  # stopped at a block, not at the end
    assert hashlib.sha256(src.read_bytes()).hexdigest() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.wav"]
