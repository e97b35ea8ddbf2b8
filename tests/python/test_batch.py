"""find_audio_files, batch_analyze and batch_analyze_directory_py."""

import os

import pytest

import sonorik
import wavgen

ALL = [True] * 7


@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "lib"
    (root / "a").mkdir(parents=True)
    (root / "a" / "deeper").mkdir()
    for rel in ["a.wav", "a/x.wav", "a/deeper/y.WAV", "b.aiff", "notes.txt", ".wav", "z.tar.aif"]:
        p = root / rel
        if rel.endswith((".wav", ".WAV")):
            wavgen.write_wav(p, wavgen.sine(0.5, 8000, 1), 8000, 1)
        else:
            p.write_bytes(b"x")
    return root


def test_find_audio_files_sorts_by_components_and_cuts_link_cycles(tree):
    os.symlink(tree, tree / "a" / "loop")
    os.symlink(tree / "gone", tree / "dangling.wav")  # the name alone decides
    rel = [os.path.relpath(p, tree) for p in sonorik.find_audio_files(str(tree))]
    # "a/..." sorts before "a.wav": the component "a" is a prefix of "a.wav".
    assert rel == ["a/deeper/y.WAV", "a/x.wav", "a.wav", "b.aiff", "dangling.wav", "z.tar.aif"]


def test_find_audio_files_single_file_and_errors(tree):
    assert sonorik.find_audio_files(str(tree / "a.wav")) == [str(tree / "a.wav")]
    missing = str(tree / "nope")
    with pytest.raises(OSError) as info:
        sonorik.find_audio_files(missing)
    assert str(info.value) == f'Failed to scan directory: Path does not exist: "{missing}"'
    with pytest.raises(OSError) as info:
        sonorik.find_audio_files(str(tree / "notes.txt"))
    assert str(info.value) == f'Failed to scan directory: Not a supported audio file: "{tree / "notes.txt"}"'


def test_batch_skips_failures_with_warnings(tree, capfd):
    good = str(tree / "a.wav")
    bad = str(tree / "missing.wav")
    entries = sonorik.batch_analyze([bad, good, good], *ALL)
    assert [e[0] for e in entries] == [good, good]
    path, info, results = entries[0]
    assert isinstance(info, sonorik.PyAudioInfo) and isinstance(results, sonorik.PyAnalysisResults)
    assert info.sample_format == "I16" and info.total_samples == 4000
    assert results.true_peak == pytest.approx(-20.0, abs=0.05)
    err = capfd.readouterr().err
    assert err == f'Warning: Failed to load {bad}: Failed to decode audio file: "{bad}"\n'


def test_batch_flags_and_analysis_warning(tmp_path, capfd):
    slow = str(wavgen.write_wav(tmp_path / "slow.wav", wavgen.sine(1.0, 8, 1), 8, 1))
    ok = str(wavgen.write_wav(tmp_path / "ok.wav", wavgen.sine(1.0, 8000, 1), 8000, 1))
    entries = sonorik.batch_analyze((slow, ok), True, False, False, False, False, False, False)
    assert [e[0] for e in entries] == [ok]
    r = entries[0][2]
    assert r.integrated_loudness is not None and r.true_peak is None and r.rms_max is None
    assert capfd.readouterr().err == f"Warning: Analysis failed for {slow}: NoMem\n"
    assert sonorik.batch_analyze([], *ALL) == []
    none = sonorik.batch_analyze([ok], *[False] * 7)[0][2]
    assert all(getattr(none, m) is None for m in ("integrated_loudness", "true_peak", "rms_average"))


def test_batch_directory(tree, capfd):
    (tree / "a" / "damaged.wav").write_bytes(b"RIFF....WAVEjunk")
    entries = sonorik.batch_analyze_directory_py(str(tree), *ALL)
    names = [os.path.relpath(e[0], tree) for e in entries]
    assert names == ["a/deeper/y.WAV", "a/x.wav", "a.wav"]
    err = capfd.readouterr().err.splitlines()
    assert sorted(line.split(":")[0] for line in err) == ["Warning"] * 3  # damaged, b.aiff, z.tar.aif
    with pytest.raises(OSError, match="^Failed to scan directory: Path does not exist: "):
        sonorik.batch_analyze_directory_py(str(tree / "nope"), *ALL)
    empty = tree / "empty"
    empty.mkdir()
    assert sonorik.batch_analyze_directory_py(str(empty), *ALL) == []
