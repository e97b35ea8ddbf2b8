"""A first run of an installed wheel: the modules and the command measure a
generated WAV file. Needs only the standard library and the wheel."""

import math
import os
import struct
import subprocess
import sys
import tempfile
import wave

import sonorik
import sonorik_meter

with tempfile.TemporaryDirectory() as d:
    path = os.path.join(d, "tone.wav")
    with wave.open(path, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(48000)
        amp = 32767 * 10 ** (-23 / 20)
        frame = [int(amp * math.sin(2 * math.pi * 1000 * i / 48000)) for i in range(48000 * 6)]
        w.writeframes(b"".join(struct.pack("<hh", s, s) for s in frame))
    _, results = sonorik.analyze_audio_all(path)
    assert abs(results.integrated_loudness + 23.0) < 0.1, results.integrated_loudness
    meter = sonorik_meter.measure(path)  # read through the bundled libsndfile
    assert abs(meter.integrated_lufs + 23.0) < 0.1, meter.integrated_lufs
    command = os.path.join(os.path.dirname(sys.executable), "sonorik")
    out = subprocess.run([command, "analyze", "--integrated", path], capture_output=True, text=True)
    assert out.returncode == 0 and "-23.0" in out.stdout, out.stdout + out.stderr
print("smoke run passed")
