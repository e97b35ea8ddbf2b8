"""sonorik_meter.normalize and `sonorik normalize`: one gain, capped by a
true-peak ceiling, written atomically in the source's format."""

import json
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import tempfile

import numpy as np
import pytest
import soundfile as sf
from scipy.signal import butter, sosfilt

import sonorik_meter

RATE = 48000


def music(seconds=8.0, channels=2, peak=0.98, seed=3):
    """Chords with a slow swell and noise hits, low-passed at 16 kHz as most
    released music is, scaled so the largest sample is `peak`: music-like
    crest factor, peaks near full scale."""
    rng = np.random.default_rng(seed)
    t = np.arange(int(seconds * RATE)) / RATE
    tone = sum(np.sin(2 * np.pi * f * t + p) / k
               for k, (f, p) in enumerate([(110, 0), (220, 1), (330, 2), (554, 3), (880, 4)], 1))
    hits = rng.standard_normal(t.size) * (np.mod(t, 0.5) < 0.03)
    x = (tone * (0.6 + 0.4 * np.sin(2 * np.pi * 0.2 * t)) + 2.0 * hits)[:, None]
    x = sosfilt(butter(8, 16000, fs=RATE, output="sos"), x + 0.05 * rng.standard_normal((t.size, channels)),
                axis=0)
    return x / np.abs(x).max() * peak


def write(path, x, subtype="PCM_24", **kw):
    sf.write(str(path), x, RATE, subtype=subtype, **kw)
    return path


def ffmpeg_true_peak(path):
    err = subprocess.run(["ffmpeg", "-nostats", "-hide_banner", "-i", str(path), "-af",
                          "ebur128=peak=true", "-f", "null", "-"],
                         capture_output=True, text=True, check=True).stderr
    return float(re.findall(r"Peak:\s+(-?[\d.]+|-inf) dBFS", err)[-1])


def test_loud_target_is_capped_by_the_ceiling(tmp_path):
    src = write(tmp_path / "in.wav", music())
    r = sonorik_meter.normalize(src, tmp_path / "out.wav", target=-9.0, ceiling=-1.0)
    assert r.capped_by == "ceiling" and r.gain_applied_db < r.gain_asked_db
    assert r.output_level < -9.0
    again = sonorik_meter.measure(tmp_path / "out.wav")
    assert again.true_peak_dbtp <= -1.0 and r.output_true_peak_dbtp == again.true_peak_dbtp
    assert again.true_peak_dbtp > -1.01  # capped at the ceiling, not far below
    if shutil.which("ffmpeg") is None:
        pytest.skip("ffmpeg is not installed: its true-peak reading is not checked")
    assert ffmpeg_true_peak(tmp_path / "out.wav") <= -1.0 + 0.2


@pytest.mark.parametrize("name, subtype", [("out.wav", "PCM_16"), ("out.wav", "PCM_24"),
                                           ("out.wav", "FLOAT"), ("out.flac", "PCM_24"),
                                           ("out.flac", "PCM_16")])
def test_output_reaches_the_target_in_the_source_format(tmp_path, name, subtype):
    src = write(tmp_path / ("in." + name.split(".")[1]), music(peak=0.1), subtype)
    dest = tmp_path / name
    r = sonorik_meter.normalize(src, dest, target=-23.0)
    assert r.capped_by is None and r.written
    assert abs(r.output_level - (-23.0)) <= 0.1
    assert sonorik_meter.measure(dest).integrated_lufs == pytest.approx(r.output_integrated_lufs,
                                                                         abs=1e-9)
    got, want = sf.info(str(dest)), sf.info(str(src))
    assert (got.format, got.subtype, got.samplerate, got.channels, got.frames) == \
        (want.format, want.subtype, want.samplerate, want.channels, want.frames)
    assert r.dithered == subtype.startswith("PCM")


def test_format_option_and_a_lossy_output_measured_as_stored(tmp_path):
    src = write(tmp_path / "in.wav", music(peak=0.1))
    r = sonorik_meter.normalize(src, tmp_path / "out.bin", target=-20.0, format="ogg")
    assert sf.info(str(tmp_path / "out.bin")).format == "OGG" and r.output_format == "OGG VORBIS"
    assert sonorik_meter.measure(tmp_path / "out.bin").integrated_lufs == pytest.approx(r.output_integrated_lufs, abs=1e-9)


def test_a_level_inside_the_range_is_left_as_it_is(tmp_path):
    src = write(tmp_path / "in.wav", music(peak=0.1), "PCM_16")
    level = sonorik_meter.measure(src).integrated_lufs
    before = src.read_bytes()
    r = sonorik_meter.normalize(src, src, target=-14.0, range=(level - 1, level + 1))
    assert (r.capped_by, r.written, r.gain_applied_db) == ("in range", False, 0.0)
    assert src.read_bytes() == before
    r = sonorik_meter.normalize(src, tmp_path / "copy.flac", target=-14.0, range=(level - 1, level + 1))
    assert r.written and not r.dithered
    assert np.array_equal(sf.read(str(tmp_path / "copy.flac"), dtype="int16")[0],
                          sf.read(str(src), dtype="int16")[0])


def test_16_bit_output_is_dithered_and_never_wraps(tmp_path):
    square = np.where(np.sin(2 * np.pi * 100 * np.arange(4 * RATE) / RATE) >= 0, 32767, -32768)
    src = write(tmp_path / "in.wav", np.stack([square, square // 2], 1).astype(np.int16), "PCM_16")
    r = sonorik_meter.normalize(src, tmp_path / "out.wav", measure="true_peak", target=0.0,
                                ceiling=0.0)
    assert r.capped_by == "ceiling" and r.dithered and r.output_true_peak_dbtp <= 0.0
    x = sf.read(str(src), dtype="int16")[0].astype(float)
    y = sf.read(str(tmp_path / "out.wav"), dtype="int16")[0].astype(float)
    assert np.all(np.sign(y) == np.sign(x))  # no code wrapped around
    residual = y - x * 10 ** (r.gain_applied_db / 20)
    assert np.abs(residual).max() <= 1.5 and residual.std() > 0.3  # TPDF: +-1 step, then rounding


def test_the_channel_mask_of_a_5_1_wav_is_kept(tmp_path):
    mask = 0x60F  # L R C LFE, side pair
    codes = (music(channels=6, peak=0.1) * 8388607).astype("<i4")
    data = b"".join(struct.pack("<i", int(v))[:3] for v in codes.ravel())
    fmt = struct.pack("<HHIIHHHHIH14s", 0xFFFE, 6, RATE, RATE * 18, 18, 24, 22, 24, mask, 1,
                      bytes.fromhex("000000001000800000aa00389b71"))
    body = b"WAVEfmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(data)) + data
    src = tmp_path / "in.wav"
    src.write_bytes(b"RIFF" + struct.pack("<I", len(body)) + body)
    r = sonorik_meter.normalize(src, tmp_path / "out.wav", target=-20.0)
    assert r.channel_map == ("L", "R", "C", "LFE", "Ls", "Rs")
    out = (tmp_path / "out.wav").read_bytes()
    at = out.index(b"fmt ") + 8
    tag, channels = struct.unpack_from("<HH", out, at)
    assert (tag, channels, struct.unpack_from("<I", out, at + 20)[0]) == (0xFFFE, 6, mask)


FAILING_WRITE = """
import os, resource, sys, sonorik_meter
src, dest, how = sys.argv[1:]
if how == "full disk":
    resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536))
elif how == "read-only directory" and os.geteuid() == 0:
    os.setgid(65534); os.setuid(65534)  # root ignores directory permissions
try:
    sonorik_meter.normalize(src, dest, target=-20.0)
except OSError as e:
    print(type(e).__name__, e.errno, e.filename, str(e))
"""


@pytest.mark.parametrize("how, error", [("full disk", "OSError 27"),
                                        ("read-only directory", "PermissionError 13"),
                                        ("destination is a directory", "IsADirectoryError 21")])
def test_a_failed_write_leaves_the_destination_unchanged(how, error):
    with tempfile.TemporaryDirectory() as top:
        os.chmod(top, 0o755)
        d = os.path.join(top, "d")
        os.mkdir(d)
        src = write(os.path.join(top, "in.wav"), music(peak=0.1))
        dest = os.path.join(d, "out.wav")
        if how == "destination is a directory":
            os.mkdir(dest)
        else:
            shutil.copy(src, dest)
            if how == "read-only directory":
                os.chown(dest, 65534, 65534) if os.geteuid() == 0 else None
                os.chmod(d, 0o555)
        before = sorted(os.listdir(d)), None if os.path.isdir(dest) else open(dest, "rb").read()
        out = subprocess.run([sys.executable, "-c", FAILING_WRITE, src, dest, how],
                             capture_output=True, text=True, check=True).stdout
        os.chmod(d, 0o755)
        assert out.startswith(f"{error} {dest} ")
        assert (sorted(os.listdir(d)), None if os.path.isdir(dest) else open(dest, "rb").read()) == before


@pytest.mark.parametrize("through_link", [False, True])
def test_in_place_and_through_a_link_keeping_the_mode(tmp_path, through_link):
    target = write(tmp_path / "in.flac", music(peak=0.1), "PCM_16")
    os.chmod(target, 0o640)
    dest = target
    if through_link:
        dest = tmp_path / "link.flac"
        dest.symlink_to("in.flac")
    r = sonorik_meter.normalize(dest, dest, target=-20.0)
    assert os.path.islink(dest) == through_link
    assert stat.S_IMODE(os.stat(target).st_mode) == 0o640
    assert sonorik_meter.measure(target).integrated_lufs == pytest.approx(r.output_level, abs=1e-9)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["in.flac"] + ["link.flac"] * through_link)


def test_errors_say_what_was_received(tmp_path):
    silent = write(tmp_path / "silent.wav", np.zeros((RATE, 2)))
    with pytest.raises(ValueError) as e:
        sonorik_meter.normalize(silent, tmp_path / "o.wav", target=-23.0)
    assert str(e.value) == ("cannot normalise on the integrated level: it is -inf LUFS "
                            "(digital silence, or no block passes the gates)")
    with pytest.raises(ValueError, match=r"^unknown measure 'loud' \(known: integrated, "):
        sonorik_meter.normalize(silent, tmp_path / "o.wav", target=-23.0, measure="loud")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["silent.wav"]


def test_cli_prints_a_line_or_json_and_runs_a_directory(tmp_path):
    album = tmp_path / "album"
    (album / "sub").mkdir(parents=True)
    write(album / "a.wav", music(peak=0.98))
    write(album / "sub" / "b.flac", music(peak=0.05, seed=4), "PCM_16")

    def cli(*args):
        return subprocess.run([sys.executable, "-m", "sonorik_cli", "normalize", *map(str, args)],
                              capture_output=True, text=True)

    one = cli("--to", "integrated", "-9", "--ceiling", "-1", album / "a.wav", "-o", tmp_path / "a.wav")
    assert one.returncode == 4 and one.stderr == ""  # written, but capped by the ceiling
    assert one.stdout.startswith(f"{album / 'a.wav'} -> {tmp_path / 'a.wav'}: integrated ")
    assert "capped by the -1 dBTP ceiling" in one.stdout and one.stdout.count("\n") == 1
    batch = cli("--to", "integrated", "-20", "--format", "json", "-j", "2", album, "-o", tmp_path / "out")
    rows = [json.loads(line) for line in batch.stdout.splitlines()]
    assert batch.returncode == 0
    assert [(r["file"], r["destination"]) for r in rows] == [
        (str(album / "a.wav"), str(tmp_path / "out" / "a.wav")),
        (str(album / "sub" / "b.flac"), str(tmp_path / "out" / "sub" / "b.flac"))]
    assert all(abs(r["output_level"] + 20) <= 0.1 and r["capped_by"] is None for r in rows)
    missing = cli("--to", "true-peak", "-1", tmp_path / "missing.wav")
    assert (missing.returncode, missing.stderr) == (1, f"sonorik: {tmp_path / 'missing.wav'}: "
                                                       "No such file or directory\n")
