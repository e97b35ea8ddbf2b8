"""The normalize_* functions: targets, ranges, formats, and files kept safe."""

import os
import stat
import struct

import numpy as np
import pytest

import sonorik
import wavgen

FUNCS = {m: getattr(sonorik, f"normalize_{m}") for m in wavgen.MEASURES if m != "loudness_range"}


def measure(path, what):
    batch = sonorik.batch_analyze([str(path)], *[m == what for m in wavgen.MEASURES])
    return getattr(batch[0][2], what)


def read_back(path):
    return pytest.importorskip("soundfile").read(str(path), dtype="float64", always_2d=True)


@pytest.mark.parametrize("what, target", [("true_peak", -3.0), ("integrated_loudness", -23.0),
                                          ("short_term_loudness", -20.0), ("momentary_loudness", -18.0),
                                          ("rms_max", -15.0), ("rms_average", -25.0)])
def test_each_measure_reaches_its_target(tmp_path, what, target):
    src = wavgen.write_wav(tmp_path / "in.wav", wavgen.noise(6.0, 48000, 2, -40.0), 48000, 2, 24)
    out = tmp_path / "out.wav"
    FUNCS[what](str(src), target, str(out))
    assert measure(out, what) == pytest.approx(target, abs=0.05)
    assert measure(src, what) != pytest.approx(target, abs=1.0)  # input untouched


# Range [-23, -20] (either order) around a noise file whose RMS average is -21.5 + offset.
@pytest.mark.parametrize("offset, moved_to", [(0.0, None), (-7.0, -23.0), (4.0, -20.0)])
@pytest.mark.parametrize("edges", [(-23.0, -20.0), (-20.0, -23.0)])
def test_range_moves_only_outside_values_to_the_nearer_edge(tmp_path, offset, moved_to, edges):
    src = wavgen.write_wav(tmp_path / "in.wav", wavgen.noise(3.0, 48000, 1, -21.5 + offset), 48000, 1, kind="float")
    sonorik.normalize_rms_average(str(src), edges[0], str(tmp_path / "out.wav"), edges[1])
    after = measure(tmp_path / "out.wav", "rms_average")
    assert after == pytest.approx(moved_to or measure(src, "rms_average"), abs=0.01 if moved_to else 1e-6)


def test_in_place_and_through_links_modes_kept(tmp_path):
    src = wavgen.write_wav(tmp_path / "in.wav", wavgen.noise(2.0, 44100, 2, -30.0), 44100, 2)
    os.chmod(src, 0o640)
    sonorik.normalize_rms_average(str(src), -12)  # an int target, in place
    assert measure(src, "rms_average") == pytest.approx(-12.0, abs=0.05)
    assert stat.S_IMODE(os.stat(src).st_mode) == 0o640
    # link.wav -> sub/hop.wav -> target.wav (relative links), dangling.wav -> made.wav (not yet there).
    (tmp_path / "sub").mkdir()
    target = wavgen.write_wav(tmp_path / "sub" / "target.wav", np.zeros(100), 8000)
    os.chmod(target, 0o604)
    os.symlink("target.wav", tmp_path / "sub" / "hop.wav")
    os.symlink("sub/hop.wav", tmp_path / "link.wav")
    os.symlink(tmp_path / "made.wav", tmp_path / "dangling.wav")
    for link in ("link.wav", "dangling.wav"):
        sonorik.normalize_rms_average(str(src), -20.0, str(tmp_path / link))
    assert all(os.path.islink(tmp_path / name) for name in ("link.wav", "sub/hop.wav", "dangling.wav"))
    assert measure(target, "rms_average") == measure(tmp_path / "made.wav", "rms_average") == pytest.approx(-20.0, abs=0.05)
    umask = os.umask(0)
    os.umask(umask)
    assert [stat.S_IMODE(os.stat(p).st_mode) for p in (target, tmp_path / "made.wav")] == [0o604, 0o666 & ~umask]
    assert sorted(os.listdir(tmp_path)) == ["dangling.wav", "in.wav", "link.wav", "made.wav", "sub"]  # no temporary left


def test_unchanged_16bit_file_shows_the_scale_edge(tmp_path):
    codes = np.array([32767, -32768, 1000, -1000] * 1200)
    src = wavgen.write_wav(tmp_path / "in.wav", codes / 32768, 48000, 1)
    sonorik.normalize_true_peak(str(src), measure(src, "true_peak"))  # gain 1
    out = np.frombuffer(src.read_bytes()[44:], dtype="<i2")
    assert list(out[:4]) == [32766, -32767, 1000, -1000] and len(out) == len(codes)


@pytest.mark.parametrize("bits, kind", [(8, "int"), (16, "int"), (24, "int"), (32, "int"), (32, "float")])
@pytest.mark.parametrize("channels", [1, 2, 6])
def test_formats_are_kept_and_read_by_other_readers(tmp_path, bits, kind, channels):
    scipy_wav = pytest.importorskip("scipy.io.wavfile")
    x = wavgen.sine(0.5, 22050, channels, -10.0, 440.0)
    src = wavgen.write_wav(tmp_path / "in.wav", x, 22050, channels, bits, kind)
    out = tmp_path / "out.wav"
    sonorik.normalize_true_peak(str(src), -1.0, str(out))
    info = sonorik.get_audio_info_py(str(out))
    assert (info.sample_rate, info.channels, info.bit_depth) == (22050, channels, bits)
    assert info.duration_seconds == 0.5
    data = out.read_bytes()  # RIFF size, pad byte, frames in the fact chunk
    assert len(data) % 2 == 0 and struct.unpack_from("<I", data, 4)[0] == len(data) - 8
    assert data.find(b"fact") < 0 or struct.unpack_from("<I", data, data.find(b"fact") + 8)[0] == 11025
    rate, data = scipy_wav.read(str(out))
    assert rate == 22050 and data.shape[0] == 11025
    sf_data, sf_rate = read_back(out)
    assert sf_rate == 22050 and sf_data.shape == (11025, channels)
    peak_db = 20 * np.log10(np.max(np.abs(sf_data)))
    assert peak_db == pytest.approx(-1.0, abs=0.3 if bits == 8 else 0.05)


@pytest.mark.parametrize("what", list(FUNCS))
def test_short_file_keeps_its_length_and_order(tmp_path, what):
    x = wavgen.noise(0.05, 44100, 1, -30.0)
    src = wavgen.write_wav(tmp_path / "in.wav", x, 44100, 1, kind="float")
    out = tmp_path / "out.wav"
    FUNCS[what](str(src), -20.0, str(out))
    data, _ = read_back(out)
    assert data.shape[0] == len(x)
    y = data[:, 0]
    # One gain, same sample order: a constant ratio wherever nothing was
    # clipped (integrated loudness of 0.1 s of audio is at the floor, so that
    # gain drives most samples to full scale).
    assert np.array_equal(np.sign(y), np.sign(x)) and np.abs(y).max() <= 1.0
    free = np.abs(y) < 0.999
    ratio = y[free] / x.astype(np.float32)[free]
    assert np.allclose(ratio, ratio[0], rtol=1e-5)


def test_errors(tmp_path):
    missing = str(tmp_path / "missing.wav")
    with pytest.raises(OSError) as info:
        sonorik.normalize_rms_max(missing, -12.0)
    assert str(info.value) == f'Failed to load audio: Failed to decode audio file: "{missing}"'
    slow = wavgen.write_wav(tmp_path / "slow.wav", wavgen.sine(1.0, 8, 1), 8, 1)
    src = wavgen.write_wav(tmp_path / "in.wav", wavgen.sine(0.5, 8000, 1), 8000, 1)
    nan, inf = float("nan"), float("inf")
    for path, target, bound, message in [
            (slow, -23.0, None, "NoMem"), (src, nan, None, "The target level must be a finite number (got nan)."),
            (src, inf, None, "The target level must be a finite number (got inf)."),
            (src, -inf, -20.0, "The target level must be a finite number (got -inf)."),
            (src, -20.0, nan, "The range bound must be a finite number (got nan).")]:
        with pytest.raises(RuntimeError) as info:
            sonorik.normalize_integrated_loudness(str(path), target, None, bound)
        assert str(info.value) == "Normalization failed: " + message
    with pytest.raises(OSError) as info:
        sonorik.normalize_rms_max(str(src), -12.0, str(tmp_path / "no" / "dir" / "out.wav"))
    assert str(info.value) == "Failed to write audio: No such file or directory (os error 2)"
    assert not (tmp_path / "no").exists()
    before = src.read_bytes()
    with pytest.raises(TypeError, match="^argument 'input_path': 'PosixPath' object cannot be converted"):
        sonorik.normalize_rms_max(src, -12.0)  # a path object, not a str
    assert src.read_bytes() == before


def test_failed_write_leaves_destination_intact(tmp_path):
    dest = tmp_path / "dest.wav"
    dest.mkdir()  # a destination that cannot be replaced
    src = wavgen.write_wav(tmp_path / "in.wav", wavgen.sine(0.5, 8000, 1), 8000, 1)
    with pytest.raises(OSError) as info:
        sonorik.normalize_rms_max(str(src), -12.0, str(dest))
    assert str(info.value) == "Failed to write audio: Is a directory (os error 21)"
    assert dest.is_dir() and sorted(p.name for p in tmp_path.iterdir()) == ["dest.wav", "in.wav"]
