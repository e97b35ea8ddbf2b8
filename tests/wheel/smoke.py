"""A first run of an installed wheel: both modules and the command measure a
generated WAV file. Needs only the standard library and the wheel."""

import importlib.metadata
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
    m = sonorik_meter.measure(path)
    assert abs(m.integrated_lufs + 23.0) < 0.1 and "flac" in sonorik_meter.extensions(), m.integrated_lufs
    command = os.path.join(os.path.dirname(sys.executable), "sonorik")
    out = subprocess.run([command, "analyze", "--integrated", path], capture_output=True, text=True)
    assert out.returncode == 0 and "-23.0" in out.stdout, out.stdout + out.stderr
    # Tags go through the bundled TagLib: a RIFF INFO title onto a FLAC file.
    with open(path, "r+b") as f:
        f.seek(0, os.SEEK_END)
        f.write(b"LIST" + struct.pack("<I", 18) + b"INFO" + b"INAM" + struct.pack("<I", 6) + b"Smoke\0")
        f.seek(4)
        f.write(struct.pack("<I", os.path.getsize(path) - 8))
    r = sonorik_meter.normalize(path, os.path.join(d, "tone.flac"), target=-20.0)
    with open(os.path.join(d, "tone.flac"), "rb") as f:
        assert b"TITLE=Smoke" in f.read() and r.notes == (), r.notes
    # One version everywhere: the wheel's metadata, the module, the command.
    version = importlib.metadata.version("sonorik")
    out = subprocess.run([command, "--version"], capture_output=True, text=True)
    assert sonorik_meter.__version__ == version and out.stdout.split() == ["sonorik", version], out
print("smoke run passed")
