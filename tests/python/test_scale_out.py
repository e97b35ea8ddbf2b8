"""examples/scale_out.py: the same results from a process pool and a local two-worker Dask cluster."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

import sonorik
import wavgen

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "scale_out.py"


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    d = tmp_path_factory.mktemp("archive")
    for i, level in enumerate([-10.0, -20.0, -30.0, -40.0, -15.0]):
        wavgen.write_wav(d / f"take{i}.wav", wavgen.sine(0.5, 16000, 1, level), 16000)
    (d / "broken.wav").write_bytes(b"RIFF")
    return d


def run_example(tmp_path, archive, *options):
    out = tmp_path / "results.jsonl"
    result = subprocess.run([sys.executable, EXAMPLE, str(archive), "-o", str(out), *options],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 1, result.stderr  # the broken file
    return [json.loads(line) for line in out.read_text().splitlines()]


def test_process_pool_and_dask_give_the_plain_results_in_order(tmp_path, archive):
    records = run_example(tmp_path, archive, "--workers", "2")
    files = sonorik.find_audio_files(str(archive))
    assert [r["path"] for r in records] == files
    assert records[0]["error"].startswith("Failed to open WAV file: ")
    info, results = sonorik.analyze_audio_all(files[1])
    assert (records[1]["sample_rate"], records[1]["integrated_loudness"], records[1]["true_peak"]) == (
        info.sample_rate, results.integrated_loudness, results.true_peak)
    pytest.importorskip("dask.distributed")
    assert run_example(tmp_path / "..", archive, "--dask", "local", "--workers", "2") == records
