"""What sonorik_meter.normalize writes: the container its name says (or a
refusal), a rate the format takes, the channel layout in the destination's
own terms, lossy outputs under the ceiling, and sources in range copied.
ffmpeg and ffprobe are the independent readers."""

import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

import sonorik_meter
from wavgen import EXTENSIBLE, encode, wav_bytes

pytestmark = pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="needs ffmpeg and ffprobe")

RATE = 48000
# One frequency per channel, none a harmonic of another; the fourth (the LFE
# of 5.1) low enough for the codecs that low-pass that channel.
FREQS = [300.0, 500.0, 700.0, 60.0, 1300.0, 1700.0, 1900.0, 2300.0]
# ffprobe's names for WAV channel masks; "6 undeclared" is a plain WAV of 6 channels.
MASKS = {"5.1": 0x3F, "quad": 0x33, "4.0": 0x107, "6 undeclared": 0}
NOTES = {
    "ogg": "Ogg cannot hold the channel layout FL FR FC BC: the channels are written in their "
           "order and read in Ogg's own order for 4 channels (FL FR BL BR)",
    "caf": "CAF as written holds no channel layout: the FL FR FC LFE BL BR channels are written "
           "in their order and read in the usual order for 6 channels",
}


def tones(channels, rate=RATE, seconds=4.0, peak=0.1):
    t = np.arange(int(seconds * rate)) / rate
    return np.stack([peak * np.sin(2 * np.pi * f * t) for f in FREQS[:channels]], 1)


def probe(path, entry):
    return subprocess.run(["ffprobe", "-v", "error", "-show_entries", f"stream={entry}", "-of",
                           "csv=p=0", str(path)], capture_output=True, text=True,
                          check=True).stdout.strip()


def decoded(path, channels):
    """The file decoded by ffmpeg, in ffmpeg's channel order for its layout."""
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", str(path), "-f", "f32le", "-"],
                         capture_output=True, check=True).stdout
    return np.frombuffer(raw, "<f4").reshape(-1, channels)


def dominant_hz(x, rate):
    spectrum = np.abs(np.fft.rfft(x * np.hanning(len(x))[:, None], axis=0))
    return [round(float(f)) for f in np.fft.rfftfreq(len(x), 1 / rate)[spectrum.argmax(0)]]


def ffmpeg_true_peak(path):
    err = subprocess.run(["ffmpeg", "-nostats", "-hide_banner", "-i", str(path), "-af",
                          "ebur128=peak=true", "-f", "null", "-"],
                         capture_output=True, text=True, check=True).stderr
    return float(re.findall(r"Peak:\s+(-?[\d.]+|-inf) dBFS", err)[-1])


def source(tmp_path, layout, ext):
    """Tones in a WAV extensible with the layout's mask, converted by ffmpeg
    into `ext` when it is not WAV."""
    channels = bin(MASKS[layout]).count("1") or 6
    wav = tmp_path / "in.wav"
    header = {"tag": EXTENSIBLE, "mask": MASKS[layout]} if MASKS[layout] else {}
    wav.write_bytes(wav_bytes(encode(tones(channels).ravel(), 24), channels, RATE, 24, **header))
    if ext == "wav":
        return wav, channels
    path = tmp_path / f"in.{ext}"
    subprocess.run(["ffmpeg", "-v", "error", "-i", str(wav), str(path)], check=True)
    return path, channels


@pytest.mark.parametrize("layout, src_ext, dest_ext, carried", [
    ("5.1", "wav", "wav", True), ("quad", "wav", "wav", True),
    ("5.1", "flac", "wav", True), ("quad", "flac", "wav", True), ("4.0", "flac", "wav", True),
    ("5.1", "wav", "flac", True), ("quad", "wav", "flac", True), ("4.0", "wav", "flac", True),
    ("5.1", "wav", "ogg", True), ("quad", "wav", "ogg", True),
    ("5.1", "wav", "opus", True), ("quad", "wav", "opus", True),
    ("5.1", "ogg", "wav", True), ("5.1", "opus", "flac", True),
    ("6 undeclared", "wav", "ogg", True),  # weighted as the usual 5.1, written as Ogg's
    ("4.0", "wav", "ogg", False), ("5.1", "wav", "caf", False),
])
def test_channels_keep_their_places(tmp_path, layout, src_ext, dest_ext, carried):
    src, channels = source(tmp_path, layout, src_ext)
    dest = tmp_path / f"out.{dest_ext}"
    r = sonorik_meter.normalize(src, dest, target=-20.0)
    # The report's measurement is the one anyone reading the file gets.
    again = sonorik_meter.measure(dest)
    assert (r.output_integrated_lufs, r.output_true_peak_dbtp) == pytest.approx(
        (again.integrated_lufs, again.true_peak_dbtp), abs=1e-9)
    assert probe(dest, "channels") == str(channels)
    if carried:
        assert r.notes == ()
        assert sorted(again.channel_map) == sorted(sonorik_meter.measure(src).channel_map)  # weighted alike
        assert probe(dest, "channel_layout") == (layout if MASKS[layout] else "5.1")
        assert probe(src, "channel_layout") == (layout if MASKS[layout] else "unknown")
        # Each tone in the channel of the same name, by ffmpeg's decoding of both files.
        rate = int(probe(dest, "sample_rate"))
        assert dominant_hz(decoded(dest, channels), rate) == dominant_hz(decoded(src, channels), RATE)
    else:
        assert r.notes == (NOTES[dest_ext],)


@pytest.mark.parametrize("src_rate, dest, rate, want_rate", [
    (44100, "out.opus", None, 48000),
    (96000, "out.mp3", None, 48000),
    (48000, "out.wav", 44100, 44100),
    (44100, "out.flac", 96000, 96000),
])
def test_a_new_rate_is_resampled_and_measured_as_written(tmp_path, src_rate, dest, rate, want_rate):
    src = tmp_path / "in.wav"
    src.write_bytes(wav_bytes(encode(tones(2, src_rate).ravel(), 24), 2, src_rate, 24))
    r = sonorik_meter.normalize(src, tmp_path / dest, target=-20.0, rate=rate)
    assert r.output_rate_hz == want_rate == int(probe(tmp_path / dest, "sample_rate"))
    again = sonorik_meter.measure(tmp_path / dest)
    assert r.output_integrated_lufs == pytest.approx(again.integrated_lufs, abs=1e-9)
    assert abs(r.output_level + 20.0) < 0.2  # tones far below either Nyquist keep their loudness
    if dest.endswith((".wav", ".flac")):
        assert again.frames == round(4.0 * want_rate)
        assert dominant_hz(decoded(tmp_path / dest, 2), want_rate) == [300, 500]


def test_cli_passes_the_rate(tmp_path):
    src = tmp_path / "in.wav"
    src.write_bytes(wav_bytes(encode(tones(2).ravel(), 16), 2, RATE, 16))
    subprocess.run([sys.executable, "-m", "sonorik_cli", "normalize", "--to", "integrated", "-20",
                    "--rate", "32000", str(src), "-o", str(tmp_path / "out.flac")], check=True,
                   capture_output=True)
    assert probe(tmp_path / "out.flac", "sample_rate") == "32000"


def test_lossy_sources_become_pcm(tmp_path):
    wav = tmp_path / "in.wav"
    wav.write_bytes(wav_bytes(encode(tones(2).ravel(), 16), 2, RATE, 16))
    for ext, codec in [("mp3", "libmp3lame"), ("ogg", "libvorbis")]:
        src = tmp_path / f"in.{ext}"
        subprocess.run(["ffmpeg", "-v", "error", "-i", str(wav), "-c:a", codec, str(src)], check=True)
        for dest in ["out.wav", "out.flac", "out.aiff"]:
            r = sonorik_meter.normalize(src, tmp_path / dest, target=-20.0)
            assert r.output_format.endswith("PCM_24") and abs(r.output_level + 20.0) < 0.05
            assert probe(tmp_path / dest, "sample_fmt") in ("s32", "s32p")


@pytest.mark.parametrize("dest, kw, message", [
    ("out.m4a", {}, r'^cannot write ".*out\.m4a": \'\.m4a\' is not a format written \(aiff, .*'
                    r'flac.*\); give another name or a format$'),
    ("out.aac", {}, r"^cannot write .*'\.aac' is not a format written"),
    ("out.wav", {"format": "ogg"}, r'^cannot write ogg as ".*out\.wav": its extension names '
                                   r'another format$'),
    ("out.m4a", {"format": "wav"}, r"its extension names another format$"),
    ("out.opus", {"rate": 44100}, r"^cannot write OGG OPUS at 44100 Hz$"),
    ("out.mp3", {"rate": 96000}, r"^cannot write MPEG MPEG_LAYER_III at 96000 Hz$"),
    ("out.wav", {"rate": 100}, r"^rate: rate must be between"),
])
def test_what_cannot_be_written_is_refused_before_anything_is(tmp_path, dest, kw, message):
    src = tmp_path / "in.wav"
    src.write_bytes(wav_bytes(encode(tones(2).ravel(), 16), 2, RATE, 16))
    with pytest.raises(ValueError, match=message):
        sonorik_meter.normalize(src, tmp_path / dest, target=-20.0, **kw)
    assert [p.name for p in tmp_path.iterdir()] == ["in.wav"]


@pytest.mark.parametrize("signal, target, ceiling, encoded_again", [
    ("laplace", -9.0, -1.0, False),  # peaky noise: the source's true peak caps the gain
    ("clipped", 0.0, 0.0, True),  # clipped noise: the encoder adds 4 dB of peaks
])
def test_a_lossy_output_stays_under_the_ceiling(tmp_path, signal, target, ceiling, encoded_again):
    rng = np.random.default_rng(5)
    x = rng.laplace(size=(8 * RATE, 2)) if signal == "laplace" else np.clip(
        rng.standard_normal((8 * RATE, 2)) * 2, -1, 1)
    src = tmp_path / "in.wav"
    src.write_bytes(wav_bytes(encode((0.3 * x / np.abs(x).max()).ravel(), 24), 2, RATE, 24))
    dest = tmp_path / "out.mp3"
    r = sonorik_meter.normalize(src, dest, target=target, ceiling=ceiling)
    assert r.capped_by == "ceiling" and r.output_true_peak_dbtp <= ceiling
    first_cap = ceiling - r.input_true_peak_dbtp
    assert (r.gain_applied_db < first_cap - 0.1) == encoded_again
    assert sonorik_meter.measure(dest).true_peak_dbtp == pytest.approx(r.output_true_peak_dbtp,
                                                                        abs=1e-9)
    assert ffmpeg_true_peak(dest) <= ceiling


def test_a_source_in_range_is_copied_unless_converted(tmp_path):
    src = tmp_path / "in.wav"
    src.write_bytes(wav_bytes(encode(tones(2).ravel(), 16), 2, RATE, 16))
    level = sonorik_meter.measure(src).integrated_lufs
    within = (level - 1, level + 1)
    before = src.stat().st_mtime_ns
    r = sonorik_meter.normalize(src, src, target=-14.0, range=within)
    assert (r.written, r.copied, src.stat().st_mtime_ns) == (False, False, before)
    copy = tmp_path / "in_place.wav"
    shutil.copy(src, copy)
    r = sonorik_meter.normalize(copy, copy, target=-14.0, range=within, rate=32000)
    assert r.written and int(probe(copy, "sample_rate")) == 32000
    r = sonorik_meter.normalize(src, tmp_path / "copy.wav", target=-14.0, range=within)
    assert r.copied and (tmp_path / "copy.wav").read_bytes() == src.read_bytes()
    for dest, rate, want_rate in [("conv.flac", None, RATE), ("conv.wav", 44100, 44100)]:
        r = sonorik_meter.normalize(src, tmp_path / dest, target=-14.0, range=within, rate=rate)
        assert (r.copied, r.gain_applied_db, r.capped_by) == (False, 0.0, "in range")
        assert int(probe(tmp_path / dest, "sample_rate")) == want_rate
        assert abs(sonorik_meter.measure(tmp_path / dest).integrated_lufs - level) < 0.05
