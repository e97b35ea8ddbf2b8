"""A file cut short while it is being read gives an error, never a crash
(SIGBUS on a mapped file) and never a shorter result."""

import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import soundfile

REPETITIONS = 20

CHILD = textwrap.dedent("""
    import os, shutil, subprocess, sys
    import sonorik, sonorik_meter
    original, path = sys.argv[1], sys.argv[2]
    call = {call}
    outcomes = []
    for _ in range(5 * {reps}):
        shutil.copyfile(original, path)
        # Another process cuts the file: the sonorik module holds the
        # interpreter lock for the whole call.
        cut = subprocess.Popen(["sh", "-c", f"sleep 0.02; truncate -s 1000000 '{{path}}'"])
        try:
            call()
            outcome = "finished"
        except OSError as e:
            outcome = "OSError"
        cut_in_time = os.path.getsize(path) == 1000000
        cut.wait()
        # On a loaded machine the cut can come after the call: that one does not count.
        if outcome == "OSError" or cut_in_time:
            outcomes.append(outcome)
        if len(outcomes) == {reps}:
            break
    print("outcomes:", *outcomes)
""")

CALLS = {
    "analyze_audio_all": "lambda: sonorik.analyze_audio_all(path)",
    "normalize_integrated_loudness":
        "lambda: sonorik.normalize_integrated_loudness(path, -30.0, path + '.out.wav')",
    "measure": "lambda: sonorik_meter.measure(path)",
    "normalize": "lambda: sonorik_meter.normalize(path, path + '.out.wav', target=-30.0)",
}


@pytest.fixture(scope="module")
def three_minutes(tmp_path_factory):
    path = tmp_path_factory.mktemp("long") / "long.wav"
    rng = np.random.default_rng(2)
    soundfile.write(path, rng.standard_normal((48000 * 180, 2)) * 0.05, 48000, "PCM_16")
    return path


@pytest.mark.parametrize("call", CALLS)
def test_a_file_cut_during_the_call_is_an_error_every_time(call, three_minutes, tmp_path):
    code = CHILD.format(call=CALLS[call], reps=REPETITIONS)
    out = subprocess.run([sys.executable, "-c", code, str(three_minutes), str(tmp_path / "a.wav")],
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr[-2000:]
    outcomes = [line for line in out.stdout.splitlines() if line.startswith("outcomes:")]
    assert outcomes == ["outcomes: " + " ".join(["OSError"] * REPETITIONS)], out.stdout[-2000:]
    assert not (tmp_path / "a.wav.out.wav").exists()
