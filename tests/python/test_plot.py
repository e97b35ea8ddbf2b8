"""Loudness over time: the graph's content read back from its artists, the
pictures `sonorik plot` writes, the command without matplotlib, and the
per-step series reports."""

import csv
import json
import subprocess
import sys
import xml.etree.ElementTree as ET

import numpy as np
import pytest

import sonorik_meter
import wavgen

RATE = 48000
CLI = [sys.executable, "-m", "sonorik_cli"]
CLICK_S = 15.05  # one sample near full scale: the only true-peak over


@pytest.fixture(scope="module")
def steps(tmp_path_factory):
    """-23 LUFS for 10 s, -13 LUFS for 10 s, 5 s of digital silence (stereo
    1 kHz: the level of each channel's sine in dBFS is its loudness)."""
    t = np.arange(10 * RATE) / RATE
    quiet, loud = (10 ** (db / 20) * np.sin(2 * np.pi * 1000 * t) for db in (-23.0, -13.0))
    mono = np.concatenate([quiet, loud, np.zeros(5 * RATE)])
    mono[int(CLICK_S * RATE)] = 0.99
    path = tmp_path_factory.mktemp("plot") / "steps.wav"
    wavgen.write_wav(path, np.repeat(mono, 2), RATE, 2, 32, "float")
    return str(path)


# Draws in a child process, so that matplotlib's caches stay out of this
# one's allocation counts, and prints what each line of the graph holds.
DRAW = """import json, sys, numpy as np, sonorik_meter
from matplotlib.figure import Figure
m = sonorik_meter.measure(sys.argv[1], series=True)
ax = Figure().add_subplot()
assert sonorik_meter.plot(m, ax, target_lufs=-23.0) is ax.figure
lines = {l.get_gid(): [np.asarray(v, float).tolist() for v in l.get_data()] for l in ax.get_lines()}
print(json.dumps({"lines": lines, "ylim": ax.get_ylim(), "integrated": m.integrated_lufs}))
"""


def test_graph_shows_the_steps_the_level_and_the_silence(steps):
    pytest.importorskip("matplotlib")
    r = subprocess.run([sys.executable, "-c", DRAW, steps], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    graph = json.loads(r.stdout)
    drawn = graph["lines"]
    for gid, window_s in (("momentary", 0.4), ("short-term", 3.0)):
        x, y = (np.asarray(v, dtype=float) for v in drawn[gid])
        assert np.allclose(y[(x >= 3.0) & (x <= 10.0)], -23.0, atol=0.1), gid
        assert np.allclose(y[(x >= 10.0 + window_s) & (x <= 20.0)], -13.0, atol=0.1), gid
        rise = x[np.nonzero(y > -22.5)[0][0]]
        assert 10.0 < rise <= 10.1, gid  # the step shows in the first reading after 10 s
        assert np.isnan(y[x >= 20.0 + window_s + 0.05]).all(), gid  # silence: a gap
        assert np.isfinite(y[(x >= 20.0) & (x < 20.0 + window_s)]).all(), gid
    assert drawn["integrated"][1][0] == graph["integrated"]
    assert drawn["target"][1][0] == -23.0
    over_x = drawn["true-peak-overs"][0]
    assert len(over_x) == 1 and abs(over_x[0] - CLICK_S) < 0.1
    bottom, top = graph["ylim"]
    assert -80 < bottom < -23 and -13 < top < 0  # not stretched down by the silence


def test_true_peak_series_marks_the_click(steps):
    m = sonorik_meter.measure(steps, series=True)
    tp = m.series_true_peak_dbtp
    assert len(tp) == len(m.series_time_s) == 250
    over = np.nonzero(tp > -1.0)[0]
    assert list(over) == [int(CLICK_S * 10)]
    assert np.max(tp) == m.true_peak_dbtp
    assert np.isneginf(tp[-45:]).all()
    assert np.allclose(tp[5:100], -23.0 + 0.0, atol=0.05)


def test_column_maxima_keep_each_columns_peak():
    import _sonorik_plot as plot
    values = np.full(100_000, -30.0)
    values[12_345] = -5.0
    values[50_000:60_000] = -np.inf
    x, y = plot.column_maxima(np.arange(100_000) / 10.0, values, 1000)
    assert len(x) == len(y) == 1000
    assert np.nanmax(y) == -5.0 and np.isnan(y[501:600]).all() and not np.isnan(y[:500]).any()


@pytest.mark.parametrize("extension", ["png", "svg", "directory"])
def test_command_writes_the_pictures(steps, tmp_path, extension):
    image = pytest.importorskip("matplotlib.image")
    out = tmp_path / ("g" if extension == "directory" else f"graph.{extension}")
    inputs = [steps, steps, "--picture-format", "svg"] if extension == "directory" else [steps]
    r = subprocess.run([*CLI, "plot", *inputs, "-o", str(out), "--width", "800", "--height", "400"],
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    if extension == "png":
        pixels = image.imread(str(out))
        assert pixels.shape[:2] == (400, 800) and pixels[..., :3].std() > 0.05
    elif extension == "svg":
        root = ET.parse(out).getroot()
        assert root.tag.endswith("svg") and root.get("width") == "576pt" and "steps.wav" in out.read_text()
    else:
        assert sorted(p.name for p in out.iterdir()) == ["steps.wav-2.svg", "steps.wav.svg"]


def test_command_without_matplotlib_says_how_to_install_it(steps, tmp_path):
    out = tmp_path / "graph.png"
    code = ("import sys, sonorik_meter, sonorik_cli.main as cli\n"
            "assert 'matplotlib' not in sys.modules\n"
            "sys.modules['matplotlib'] = None\n"
            f"sys.exit(cli.main(['plot', {steps!r}, '-o', {str(out)!r}]))\n")
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert r.returncode == 2 and r.stdout == "" and not out.exists()
    assert r.stderr == ('sonorik plot: error: plot needs matplotlib, which is not installed: '
                        'pip install "sonorik[plot]" (or pip install matplotlib)\n')


@pytest.mark.parametrize("fmt", ["csv", "json"])
def test_series_report_reads_as_it_comes(steps, tmp_path, fmt):
    out = tmp_path / f"series.{fmt}"
    r = subprocess.run([*CLI, "analyze", "--series", steps, "--format", fmt, "--output", str(out)],
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    with open(out, newline="") as f:
        rows = list(csv.DictReader(f)) if fmt == "csv" else [json.loads(line) for line in f]
    empty = "" if fmt == "csv" else None
    assert len(rows) == 250
    assert list(rows[0]) == ["file", "time_s", "momentary_lufs", "short_term_lufs", "true_peak_dbtp"]
    assert [float(r["time_s"]) for r in rows[:3]] == [0.1, 0.2, 0.3]
    assert rows[2]["momentary_lufs"] == empty and rows[3]["momentary_lufs"] != empty
    assert abs(float(rows[150]["momentary_lufs"]) + 13.0) < 0.1
    assert rows[-1]["momentary_lufs"] == rows[-1]["true_peak_dbtp"] == empty  # silence


def test_series_report_needs_a_report_format(steps):
    r = subprocess.run([*CLI, "analyze", "--series", steps], capture_output=True, text=True)
    assert r.returncode == 2 and "--series writes a csv, tsv or json report" in r.stderr
