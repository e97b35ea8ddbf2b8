"""The sonorik module under files whose headers ask for too much: memory follows the audio read, not what a
header declares; rates no PCM file uses are refused by every entry before anything is sized by them; normalisation
refuses rates where K-weighting does not exist. Memory is measured in a child interpreter (peak resident size
before and after the call)."""

import json
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import soundfile

import sonorik
import wavgen

MIB = 1024 * 1024

CHILD = textwrap.dedent("""
    import json, sys
    import sonorik
    def peak():
        for line in open("/proc/self/status"):
            if line.startswith("VmHWM"):
                return int(line.split()[1]) * 1024
    calls = {calls}
    before = peak()
    out = {{}}
    for name, call in calls.items():
        try:
            out[name] = ["returned", repr(call())]
        except Exception as e:
            out[name] = [type(e).__name__, str(e)]
    print(json.dumps({{"grew": peak() - before, "results": out}}))
""")


def in_child(calls: str, cwd) -> tuple[dict, str]:
    """Runs `calls` (a dict display of name: lambda) in a child interpreter; its results and standard error."""
    proc = subprocess.run([sys.executable, "-c", CHILD.format(calls=calls)], cwd=cwd, capture_output=True,
                          text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1]), proc.stderr


def silent_wav(path, seconds: float, rate: int = 48000, channels: int = 2):
    """A 16-bit WAV of silence whose samples are a hole in the file: made at once, taking no disk."""
    data = int(seconds * rate) * channels * 2
    header = wavgen.wav_bytes(b"", channels, rate, 16)
    with open(path, "wb") as f:
        f.write(header[:4] + struct.pack("<I", 36 + data) + header[8:40] + struct.pack("<I", data))
        f.truncate(44 + data)
    return path


def test_info_reads_the_header_of_an_hour_only(tmp_path):
    silent_wav(tmp_path / "hour.wav", 3600)
    got, _ = in_child("{'info': lambda: [getattr(sonorik.get_audio_info_py('hour.wav'), f) "
                      "for f in ('total_samples', 'duration_seconds', 'duration_formatted')]}", tmp_path)
    assert got["results"]["info"] == ["returned", repr([345600000, 3600.0, "01:00:00.000"])]
    assert got["grew"] < 64 * MIB


def test_normalize_streams_a_long_file(tmp_path):
    src = silent_wav(tmp_path / "ten.wav", 600)
    got, _ = in_child("{'normalize': lambda: sonorik.normalize_integrated_loudness('ten.wav', -23.0, 'out.wav')}",
                      tmp_path)
    assert got["results"]["normalize"] == ["returned", "None"]
    assert got["grew"] < 64 * MIB
    # Silence stays silence under any gain, and the writer's header for 16-bit stereo is the plain one.
    with open(src, "rb") as a, open(tmp_path / "out.wav", "rb") as b:
        while chunk := a.read(MIB):
            assert b.read(MIB) == chunk


NORMALIZERS = ["normalize_true_peak", "normalize_integrated_loudness", "normalize_short_term_loudness",
               "normalize_momentary_loudness", "normalize_rms_max", "normalize_rms_average"]
FLAGS = "True, True, True, True, True, True, True"
TOO_FAST = 'rate must be at most 2822400 Hz (got 4294967295)'
# The entry, its call in the child, and what it gives for a file at 4,294,967,295 Hz.
ABOVE_ANY_PCM_RATE = [
    ("analyze_audio", f"sonorik.analyze_audio(P, {FLAGS})", ["OSError", f'Failed to open WAV file: "P": {TOO_FAST}']),
    ("analyze_audio_all", "sonorik.analyze_audio_all(P)", ["OSError", f'Failed to open WAV file: "P": {TOO_FAST}']),
    ("get_audio_info_py", "sonorik.get_audio_info_py(P)", ["OSError", f'Failed to load audio: "P": {TOO_FAST}']),
    *[(fn, f"sonorik.{fn}(P, -20.0, 'out.wav')", ["OSError", f'Failed to load audio: "P": {TOO_FAST}'])
      for fn in NORMALIZERS],
    *[(f"export_to_{kind}", f"sonorik.export_to_{kind}([P], 'report', {FLAGS})",
       ["OSError", f'Failed to load P: "P": {TOO_FAST}']) for kind in ("csv", "tsv", "xml", "json")],
    ("batch_analyze", f"sonorik.batch_analyze([P], {FLAGS})", ["returned", "[]"]),
    ("batch_analyze_directory_py", f"sonorik.batch_analyze_directory_py('in', {FLAGS})", ["returned", "[]"]),
]


@pytest.fixture(scope="module")
def above_any_pcm_rate(tmp_path_factory):
    """Every entry called once on a 48-byte WAV declaring 4,294,967,295 Hz, in one child."""
    where = tmp_path_factory.mktemp("fast")
    (where / "in").mkdir()
    wav = where / "in" / "fast.wav"
    fmt = struct.pack("<HHIIHH", 1, 2, 4294967295, 4294967295, 4, 16)  # the byte rate saturated
    wav.write_bytes(b"RIFF" + struct.pack("<I", 40) + b"WAVE" + wavgen.chunk(b"fmt ", fmt)
                    + wavgen.chunk(b"data", b"\x00\x01\x02\x03"))
    assert wav.stat().st_size == 48
    calls = "{" + ", ".join(f"{name!r}: lambda: {call}" for name, call, _ in ABOVE_ANY_PCM_RATE) + "}"
    got, err = in_child(f"{calls}\n".replace("(P", "('in/fast.wav'").replace("[P]", "['in/fast.wav']"), where)
    return where, got, err


@pytest.mark.parametrize("entry, _, expected", ABOVE_ANY_PCM_RATE, ids=[e[0] for e in ABOVE_ANY_PCM_RATE])
def test_rates_above_any_pcm_file_are_refused_by_every_entry(above_any_pcm_rate, entry, _, expected):
    where, got, err = above_any_pcm_rate
    assert got["results"][entry] == [expected[0], expected[1].replace("P", "in/fast.wav")]
    assert got["grew"] < 64 * MIB
    assert not (where / "out.wav").exists()
    if entry.startswith("batch"):
        assert f'Warning: Failed to load in/fast.wav: "in/fast.wav": {TOO_FAST}\n' in err


@pytest.mark.parametrize("fn", NORMALIZERS)
@pytest.mark.parametrize("rate, refused", [(3363, True), (100, True), (3364, False)])
def test_normalize_refuses_rates_without_k_weighting(tmp_path, fn, rate, refused):
    src = wavgen.write_wav(tmp_path / "in.wav", wavgen.noise(0.5, rate, 2, -30.0), rate, 2)
    before = src.read_bytes()
    if not refused:
        getattr(sonorik, fn)(str(src), -20.0)
        assert src.read_bytes() != before
        return
    with pytest.raises(RuntimeError) as e:
        getattr(sonorik, fn)(str(src), -20.0)
    assert str(e.value) == f'Normalization failed: "{src}": rate must be between 3364 and 2822400 Hz (got {rate})'
    assert src.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.wav"]
    # The analysis entries still measure such a file.
    assert sonorik.analyze_audio_all(str(src))[0].sample_rate == rate
    assert len(sonorik.batch_analyze([str(src)], True, *[False] * 6)) == 1


def test_streamed_normalization_measures_and_writes_every_block(tmp_path):
    """Longer than a block, quiet then loud, cut mid-frame: the gain is measured on all of it and every whole
    frame is written with it."""
    x = wavgen.noise(3.0, 44100, 3, -20.0)
    x[: 44100 * 3] *= 10 ** (-30 / 20)
    x = x[:-1]
    src = tmp_path / "in.wav"
    src.write_bytes(wavgen.wav_bytes(wavgen.encode(x, 24), 3, 44100, 24))
    sonorik.normalize_rms_average(str(src), -20.0, str(tmp_path / "out.wav"))
    y, rate = soundfile.read(tmp_path / "out.wav", dtype="float64")
    assert rate == 44100 and y.shape == (len(x) // 3, 3)
    assert 10 * np.log10(np.mean(y ** 2)) == pytest.approx(-20.0, abs=0.01)
