"""export_to_csv / _tsv / _xml / _json: reports that grow record by record and read back with standard parsers."""

import csv
import io
import json
import re
import xml.etree.ElementTree as ET

import numpy as np
import pytest

import sonorik
import wavgen
from wavgen import MEASURES

ALL = [True] * 7
EXPORTS = {"csv": sonorik.export_to_csv, "tsv": sonorik.export_to_tsv,
           "xml": sonorik.export_to_xml, "json": sonorik.export_to_json}


@pytest.fixture
def tone(tmp_path):
    return lambda name="tone.wav": str(wavgen.write_wav(tmp_path / name, wavgen.sine(1.0, 48000, 2, -20.0), 48000, 2))


def read_records(kind, path):
    text = open(path, encoding="utf-8", newline="").read()
    if kind in ("csv", "tsv"):
        return list(csv.DictReader(io.StringIO(text), delimiter="," if kind == "csv" else "\t"))
    lines = text.split("\n")
    assert lines[-1] == ""
    if kind == "json":
        return [json.loads(line) for line in lines[:-1]]
    return [{child.tag: child.text for child in ET.fromstring(line)} for line in lines[:-1]]


@pytest.mark.parametrize("kind", EXPORTS)
def test_records_read_back_with_standard_parsers_and_append(tmp_path, tone, kind):
    names = ["plain.wav", "comma, in name.wav", 'quote "x".wav', "tab\there.wav", "line\nbreak.wav",
             "amp & <lt>.wav", "ünïcødé.wav", "cr\rname.wav", "bell\x07.wav", "=1+2.wav"]
    paths = [tone(n) for n in names]
    out = tmp_path / "new" / f"report.{kind}"
    EXPORTS[kind](paths[:1], str(out), *ALL)
    EXPORTS[kind](paths[1:], str(out), *ALL)  # appended, without a second header
    records = read_records(kind, out)
    # XML 1.0 cannot hold a control character other than tab, CR and LF: \xNN stands in.
    assert [r["file_name_ext"] for r in records] == [
        n.replace("\x07", "\\x07") if kind == "xml" else n for n in names]
    for r in records:  # JSON keys sorted, the other formats in measure order
        assert list(r) == (sorted if kind == "json" else list)(["file_name_ext", *MEASURES])
        assert all(isinstance(r[m], float) if kind == "json" else re.fullmatch(r"-?\d+\.\d{3}", r[m])
                   for m in MEASURES)
        for m in ("true_peak", "momentary_loudness", "integrated_loudness"):
            assert float(r[m]) == pytest.approx(-20.0, abs=0.1)


@pytest.mark.parametrize("kind, text", [
    ("csv", "file_name_ext\na.wav\na.wav\n"), ("tsv", "file_name_ext\na.wav\na.wav\n"),
    ("xml", "<audio><file_name_ext>a.wav</file_name_ext></audio>\n" * 2),
    ("json", '{"file_name_ext":"a.wav"}\n' * 2)])
def test_no_flags_gives_bare_names(tmp_path, tone, kind, text):
    a = tone("a.wav")
    EXPORTS[kind]([a, a], str(tmp_path / "r"), *[False] * 7)
    assert (tmp_path / "r").read_text() == text


@pytest.mark.parametrize("kind, prefix, header", [
    ("csv", "Failed to write output: ", True), ("tsv", "Failed to write TSV: ", True),
    ("xml", "Failed to write XML: ", False), ("json", "Failed to write output: ", False)])
def test_empty_lists_and_unwritable_reports(tmp_path, tone, kind, prefix, header):
    out = tmp_path / "deep" / "er" / f"r.{kind}"
    EXPORTS[kind]([], str(out), *ALL)
    assert out.parent.is_dir() and out.exists() == header  # only a text header, directories made
    (tmp_path / "dir").mkdir()
    EXPORTS[kind]([], str(tmp_path / "dir"), *ALL)  # no record, no error
    with pytest.raises(OSError) as info:
        EXPORTS[kind]([tone()], str(tmp_path / "dir"), *ALL)
    assert str(info.value) == prefix + "Is a directory (os error 21)"


def test_last_partial_window_and_last_frame(tmp_path):
    # 0.7 as the last of 22,050 samples: the last 50 ms RMS window holds 10 frames.
    x = np.zeros(22050)
    x[-1] = 0.7
    path = wavgen.write_wav(tmp_path / "spike.wav", x, 22050, kind="float")
    sonorik.export_to_json([str(path)], str(tmp_path / "r.json"), *ALL)
    r = json.loads((tmp_path / "r.json").read_text())
    assert r["true_peak"] == pytest.approx(20 * np.log10(0.7), abs=1e-6)
    assert r["rms_max"] == pytest.approx(20 * np.log10(0.7) - 10, abs=1e-6)


def test_first_failing_file_stops_and_keeps_earlier_records(tmp_path, tone):
    a, c = tone("a.wav"), tone("c.wav")
    missing = str(tmp_path / "missing.wav")
    out = tmp_path / "r.json"
    with pytest.raises(OSError) as info:
        sonorik.export_to_json([a, missing, c], str(out), *ALL)
    assert str(info.value) == f'Failed to load {missing}: Failed to decode audio file: "{missing}"'
    assert [r["file_name_ext"] for r in read_records("json", out)] == ["a.wav"]
    slow = wavgen.write_wav(tmp_path / "slow.wav", wavgen.sine(2.0, 8, 1), 8, 1)
    with pytest.raises(RuntimeError) as info:
        sonorik.export_to_csv([str(slow)], str(tmp_path / "r.csv"), *ALL)
    assert str(info.value) == f"Analysis failed for {slow}: NoMem"
