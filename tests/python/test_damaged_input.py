"""Damaged and cut-short files are errors that say where, never shorter audio:
measuring refuses them, info still shows what they declare, normalising one in
place leaves it as it was, and the command line reports it beside good files."""

import re
import subprocess
import sys

import numpy as np
import pytest

import sonorik_meter

sf = pytest.importorskip("soundfile")

SECONDS = 12.0
T = r"(\d+\.\d{3})"  # a position in seconds
OGG_CUT = "the audio is cut off at {t} s: the file ends inside an Ogg page"
ENDS = "the audio ends at {t} s of the 12.000 s it declares"
# (name, soundfile format, subtype, damage, message with {t} for where, the
# fraction of the length where the damage is). A flipped bit is tested where
# the format can show it: FLAC frames and Ogg pages carry checksums; WAV
# samples carry none, and a flipped bit in MP3 audio data decodes unnoticed.
CASES = [
    ("flip.flac", "FLAC", "PCM_16", "flip", "damaged audio at {t} s: .*flac decoder.*", 0.5),
    ("cut.flac", "FLAC", "PCM_16", "cut", "damaged audio at {t} s: .*flac decoder.*", 1 / 3),
    ("flip.ogg", "OGG", "VORBIS", "flip", "damaged audio at {t} s: an Ogg page fails its checksum", 0.5),
    ("cut.ogg", "OGG", "VORBIS", "cut", OGG_CUT, 1 / 3),
    ("page.ogg", "OGG", "VORBIS", "page",
     "the audio is cut off at {t} s: the Ogg stream has no end-of-stream page", 1 / 3),
    ("flip.opus", "OGG", "OPUS", "flip", "damaged audio at {t} s: an Ogg page fails its checksum", 0.5),
    ("cut.opus", "OGG", "OPUS", "cut", OGG_CUT, 1 / 3),
    ("cut.mp3", "MP3", "MPEG_LAYER_III", "cut", ENDS, 1 / 3),
    ("cut.wav", "WAV", "PCM_16", "cut", ENDS, 1 / 3),
    ("cut.rf64", "RF64", "PCM_24", "cut", ENDS, 1 / 3),
    ("cut.w64", "W64", "FLOAT", "cut", ENDS, 1 / 3),
    ("cut.aiff", "AIFF", "PCM_16", "cut", ENDS, 1 / 3),
]
# Declared in full by the header that is left: every flip, FLAC, MP3 (Xing).
WHOLE = {name for name, _, _, damage, *_ in CASES if damage == "flip" or name in ("cut.flac", "cut.mp3")}


def material(rate):
    """Steady tones and noise: the bytes run at an even pace through the file."""
    t = np.arange(int(SECONDS * rate)) / rate
    noise = 0.05 * np.random.default_rng(1).standard_normal((t.size, 2))
    return 0.3 * np.stack([np.sin(2 * np.pi * 440 * t), np.sin(2 * np.pi * 330 * t)], axis=1) + noise


def damage(data, how):
    pages = [m.start() for m in re.finditer(b"OggS", data)] + [len(data)]
    if how == "cut":
        return data[:len(data) // 3]
    if how == "page":  # at a page boundary: every page whole, the last one missing
        return data[:max(p for p in pages if p <= len(data) // 3)]
    b = bytearray(data)
    # One bit of the audio in the middle: for Ogg, the last byte of the middle page's body.
    at = next(p for p in pages if p > len(b) // 2) - 1 if data[:4] == b"OggS" else len(b) // 2
    b[at] ^= 0x10
    return bytes(b)


@pytest.fixture(scope="module")
def damaged(tmp_path_factory):
    """The damaged files and an intact one beside them."""
    where = tmp_path_factory.mktemp("damaged")
    for name, major, subtype, how, *_ in CASES:
        if subtype not in sf.available_subtypes(major):
            pytest.skip(f"this libsndfile cannot write {major} {subtype}")
        rate = 48000 if subtype == "OPUS" else 44100
        sf.write(where / "whole", material(rate), rate, format=major, subtype=subtype)
        (where / name).write_bytes(damage((where / "whole").read_bytes(), how))
    sf.write(where / "whole.wav", material(44100), 44100)
    (where / "whole").unlink()
    return where


@pytest.mark.parametrize("name,major,subtype,how,message,fraction", CASES, ids=[c[0] for c in CASES])
def test_damaged_file_is_refused_where_it_is_damaged(damaged, tmp_path, name, major, subtype, how,
                                                     message, fraction):
    path = tmp_path / name
    path.write_bytes((damaged / name).read_bytes())
    with pytest.raises(OSError) as e:
        sonorik_meter.measure(path)
    text = str(e.value)
    found = re.fullmatch(re.escape(message).replace(re.escape("{t}"), T).replace(r"\.\*", ".*")
                         + re.escape(f": {str(path)!r}"), text)
    assert found, text
    # At or just before the damage: the end of the last whole frame or page
    # (libsndfile's Opus pages hold about a second).
    assert -1.1 < float(found.group(1)) - fraction * SECONDS < 0.05
    info = sonorik_meter.info(path)
    assert info.duration_s == SECONDS if name in WHOLE else info.duration_s > 0

    with pytest.raises(OSError) as e:
        sonorik_meter.normalize(path, path, target=-20)
    assert str(e.value) == text
    assert path.read_bytes() == (damaged / name).read_bytes()
    assert [p.name for p in tmp_path.iterdir()] == [name]


def test_command_line_lists_damaged_files_as_failed(damaged):
    run = subprocess.run([sys.executable, "-m", "sonorik_cli", "analyze", "--integrated", damaged],
                         capture_output=True, text=True)
    assert run.returncode == 1
    failed = sorted(line.split(": ")[1] for line in run.stderr.splitlines() if line.startswith("sonorik: "))
    assert failed == sorted(str(damaged / name) for name, *_ in CASES)
    rows = [line.split() for line in run.stdout.splitlines()[2:]]
    assert [(r[0], r[-1]) for r in rows] == [
        (str(damaged / "whole.wav"), f"{sonorik_meter.measure(damaged / 'whole.wav').integrated_lufs:.2f}")]
