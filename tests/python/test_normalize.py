"""The normalize_* functions: targets, ranges, formats, and files kept safe."""

import os
import stat

import numpy as np
import pytest

import sonorik
import wavgen

FUNCS = {m: getattr(sonorik, f"normalize_{m}") for m in wavgen.MEASURES if m != "loudness_range"}


def measure(path, what):
    batch = sonorik.batch_analyze([str(path)], *[m == what for m in wavgen.MEASURES])
    return getattr(batch[0][2], what)


@pytest.mark.parametrize("what, target", [("true_peak", -3.0), ("integrated_loudness", -23.0),
                                          ("short_term_loudness", -20.0), ("momentary_loudness", -18.0),
                                          ("rms_max", -15.0), ("rms_average", -25.0)])
def test_each_measure_reaches_its_target_and_short_files_keep_length_and_order(tmp_path, what, target):
    src = wavgen.write_wav(tmp_path / "in.wav", wavgen.noise(6.0, 48000, 2, -40.0), 48000, 2, 24)
    out = tmp_path / "out.wav"
    FUNCS[what](str(src), target, str(out))
    assert measure(out, what) == pytest.approx(target, abs=0.05)
    assert measure(src, what) != pytest.approx(target, abs=1.0)  # input untouched
    x = wavgen.noise(0.05, 44100, 1, -30.0)
    FUNCS[what](str(wavgen.write_wav(tmp_path / "short.wav", x, 44100, 1, kind="float")), -20.0, str(out))
    y = pytest.importorskip("soundfile").read(str(out), always_2d=True)[0][:, 0]
    # One gain, same order: a constant ratio wherever nothing clipped (integrated loudness of
    # 0.1 s is at the floor, and that gain drives most samples to full scale).
    assert len(y) == len(x) and np.array_equal(np.sign(y), np.sign(x)) and np.abs(y).max() <= 1.0
    free = np.abs(y) < 0.999
    ratio = y[free] / x.astype(np.float32)[free]
    assert np.allclose(ratio, ratio[0], rtol=1e-5)


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
    os.umask(umask := os.umask(0))
    assert [stat.S_IMODE(os.stat(p).st_mode) for p in (target, tmp_path / "made.wav")] == [0o604, 0o666 & ~umask]
    assert sorted(os.listdir(tmp_path)) == ["dangling.wav", "in.wav", "link.wav", "made.wav", "sub"]  # no temporary left


def test_unchanged_16bit_file_shows_the_scale_edge(tmp_path):
    codes = np.array([32767, -32768, 1000, -1000] * 1200)
    src = wavgen.write_wav(tmp_path / "in.wav", codes / 32768, 48000, 1)
    sonorik.normalize_true_peak(str(src), measure(src, "true_peak"))  # gain 1
    out = np.frombuffer(src.read_bytes()[44:], dtype="<i2")
    assert list(out[:4]) == [32766, -32767, 1000, -1000] and len(out) == len(codes)
