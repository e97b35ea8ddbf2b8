"""find_audio_files, batch_analyze and batch_analyze_directory_py."""

import os

import pytest

import sonorik
import wavgen

ALL = [True] * 7


@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "lib"
    (root / "a" / "deeper").mkdir(parents=True)
    for rel in ["a.wav", "a/x.wav", "a/deeper/y.WAV", "b.aiff", "notes.txt", ".wav", "z.tar.aif", "B.aif", "é.aif"]:
        is_wav = rel.endswith((".wav", ".WAV"))
        (root / rel).write_bytes(wavgen.wav_bytes(wavgen.encode(wavgen.sine(0.5, 8000), 16), 1, 8000) if is_wav else b"x")
    return root


def test_find_audio_files_sorts_by_components_cuts_link_cycles_and_refuses(tree):
    os.symlink(tree, tree / "a" / "loop")
    os.symlink(tree / "gone", tree / "dangling.wav")  # the name alone decides
    rel = [os.path.relpath(p, tree) for p in sonorik.find_audio_files(str(tree))]
    # By components, then bytes: "a/..." before "a.wav", upper case first, non-ASCII last.
    assert rel == ["B.aif", "a/deeper/y.WAV", "a/x.wav", "a.wav", "b.aiff", "dangling.wav", "z.tar.aif", "é.aif"]
    assert sonorik.find_audio_files(str(tree / "a.wav")) == [str(tree / "a.wav")]
    with pytest.raises(OSError, match="^Failed to scan directory: Path does not exist: "):
        sonorik.find_audio_files(str(tree / "nope"))


def test_batch_skips_failures_with_warnings(tmp_path, tree, capfd):
    good, bad = str(tree / "a.wav"), str(tree / "missing.wav")
    slow = str(wavgen.write_wav(tmp_path / "slow.wav", wavgen.sine(1.0, 8, 1), 8, 1))
    entries = sonorik.batch_analyze([bad, good, slow, good], *ALL)
    assert [e[0] for e in entries] == [good, good]
    path, info, results = entries[0]
    assert isinstance(info, sonorik.PyAudioInfo) and isinstance(results, sonorik.PyAnalysisResults)
    assert (info.sample_format, info.total_samples) == ("I16", 4000)
    assert results.true_peak == pytest.approx(-20.0, abs=0.05)
    assert capfd.readouterr().err == (f'Warning: Failed to load {bad}: Failed to decode audio file: "{bad}"\n'
                                      f"Warning: Analysis failed for {slow}: NoMem\n")
    assert sonorik.batch_analyze([], *ALL) == []
    only = sonorik.batch_analyze((good,), True, *[False] * 6)[0][2]
    assert only.integrated_loudness is not None and only.true_peak is None and only.rms_max is None


def test_batch_directory(tree, capfd):
    (tree / "a" / "damaged.wav").write_bytes(b"RIFF....WAVEjunk")
    entries = sonorik.batch_analyze_directory_py(str(tree), *ALL)
    assert [os.path.relpath(e[0], tree) for e in entries] == ["a/deeper/y.WAV", "a/x.wav", "a.wav"]
    err = capfd.readouterr().err.splitlines()
    assert [line.split(":")[0] for line in err] == ["Warning"] * 5  # damaged and the four .aif(f) files
    (tree / "empty").mkdir()
    assert sonorik.batch_analyze_directory_py(str(tree / "empty"), *ALL) == []
