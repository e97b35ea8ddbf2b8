"""export_to_csv / _tsv / _xml / _json: reports that grow record by record and
read back with the standard parsers."""

import csv
import io
import json
import xml.etree.ElementTree as ET

import pytest

import sonorik
import wavgen

ALL = [True] * 7
NONE = [False] * 7
MEASURES = ["integrated_loudness", "short_term_loudness", "momentary_loudness", "loudness_range",
            "true_peak", "rms_max", "rms_average"]
EXPORTS = {"csv": sonorik.export_to_csv, "tsv": sonorik.export_to_tsv,
           "xml": sonorik.export_to_xml, "json": sonorik.export_to_json}


@pytest.fixture
def tone(tmp_path):
    def make(name="tone.wav", seconds=1.0, dbfs=-20.0):
        return str(wavgen.write_wav(tmp_path / name, wavgen.sine(seconds, 48000, 2, dbfs), 48000, 2))
    return make


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
def test_records_read_back_with_standard_parsers(tmp_path, tone, kind):
    names = ["plain.wav", "comma, in name.wav", 'quote "x".wav', "tab\there.wav",
             "amp & <lt>.wav", "ünïcødé.wav"]
    paths = [tone(n) for n in names]
    out = tmp_path / f"report.{kind}"
    EXPORTS[kind](paths, str(out), *ALL)
    records = read_records(kind, out)
    assert [r["file_name_ext"] for r in records] == names
    for r in records:
        assert set(r) == {"file_name_ext", *MEASURES}
        assert float(r["true_peak"]) == pytest.approx(-20.0, abs=0.1)
        assert float(r["integrated_loudness"]) == pytest.approx(-20.0, abs=0.1)


def test_csv_bytes_and_header_once(tmp_path, tone):
    a, b = tone("a.wav"), tone("b.wav", dbfs=-30.0)
    out = tmp_path / "r.csv"
    sonorik.export_to_csv([a], str(out), True, False, False, False, True, False, False)
    sonorik.export_to_csv([b], str(out), True, False, False, False, True, False, False)
    lines = out.read_text().splitlines()
    assert lines[0] == "file_name_ext,integrated_loudness,true_peak"
    assert len(lines) == 3
    name, integrated, peak = lines[2].split(",")
    assert name == "b.wav"
    assert integrated.count(".") == 1 and len(integrated.split(".")[1]) == 3
    assert float(peak) == pytest.approx(-30.0, abs=0.05)


def test_tsv_is_csv_with_tabs(tmp_path, tone):
    a = tone("a.wav")
    sonorik.export_to_csv([a], str(tmp_path / "r.csv"), *ALL)
    sonorik.export_to_tsv([a], str(tmp_path / "r.tsv"), *ALL)
    assert (tmp_path / "r.tsv").read_text() == (tmp_path / "r.csv").read_text().replace(",", "\t")


def test_json_keys_sorted_on_one_line(tmp_path, tone):
    sonorik.export_to_json([tone("a.wav")], str(tmp_path / "r.json"), *ALL)
    line = (tmp_path / "r.json").read_text()
    keys = list(json.loads(line))
    assert keys == sorted(keys) and line.startswith('{"file_name_ext":"a.wav","integrated_loudness":')
    assert ": " not in line and ", " not in line


@pytest.mark.parametrize("kind, text", [
    ("csv", "file_name_ext\na.wav\na.wav\n"), ("tsv", "file_name_ext\na.wav\na.wav\n"),
    ("xml", "<audio><file_name_ext>a.wav</file_name_ext></audio>\n" * 2),
    ("json", '{"file_name_ext":"a.wav"}\n' * 2)])
def test_no_flags_gives_bare_names(tmp_path, tone, kind, text):
    a = tone("a.wav")
    EXPORTS[kind]([a, a], str(tmp_path / "r"), *NONE)
    assert (tmp_path / "r").read_text() == text


@pytest.mark.parametrize("kind, leaves_file", [("csv", True), ("tsv", True), ("json", False), ("xml", False)])
def test_empty_list_creates_directories_and_only_text_headers(tmp_path, kind, leaves_file):
    out = tmp_path / "deep" / "er" / f"r.{kind}"
    EXPORTS[kind]([], str(out), *ALL)
    assert out.parent.is_dir()
    assert out.exists() == leaves_file


@pytest.mark.parametrize("kind, prefix", [("csv", "Failed to write output: "), ("tsv", "Failed to write TSV: "),
                                          ("xml", "Failed to write XML: "), ("json", "Failed to write output: ")])
def test_directory_as_report_fails_at_first_record(tmp_path, tone, kind, prefix):
    (tmp_path / "dir").mkdir()
    with pytest.raises(OSError) as info:
        EXPORTS[kind]([tone()], str(tmp_path / "dir"), *ALL)
    assert str(info.value) == prefix + "Is a directory (os error 21)"
    EXPORTS[kind]([], str(tmp_path / "dir"), *ALL)  # no record, no error


def test_first_failing_file_stops_and_keeps_earlier_records(tmp_path, tone):
    a, c = tone("a.wav"), tone("c.wav")
    missing = str(tmp_path / "missing.wav")
    out = tmp_path / "r.json"
    with pytest.raises(OSError) as info:
        sonorik.export_to_json([a, missing, c], str(out), *ALL)
    assert str(info.value) == f'Failed to load {missing}: Failed to decode audio file: "{missing}"'
    assert [r["file_name_ext"] for r in read_records("json", out)] == ["a.wav"]


def test_analysis_failure_is_runtime_error(tmp_path):
    path = wavgen.write_wav(tmp_path / "slow.wav", wavgen.sine(2.0, 8, 1), 8, 1)
    with pytest.raises(RuntimeError) as info:
        sonorik.export_to_csv([str(path)], str(tmp_path / "r.csv"), *ALL)
    assert str(info.value) == f"Analysis failed for {path}: NoMem"
