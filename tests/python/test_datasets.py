"""Sources beyond paths (bytes, file-like objects, URLs) and many sources at once
(measure_many, normalize_many, a Dask cluster, tables out)."""

import functools
import http.server
import io
import json
import math
import os
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

import sonorik_meter
import wavgen

sf = pytest.importorskip("soundfile")

# (file name, soundfile format, subtype): every kind of file the door reads.
FORMATS = [
    ("a.wav", "WAV", "PCM_24"),
    ("a.flac", "FLAC", "PCM_16"),
    ("a.ogg", "OGG", "VORBIS"),
    ("a.opus", "OGG", "OPUS"),
    ("a.mp3", "MP3", "MPEG_LAYER_III"),
    ("a.aiff", "AIFF", "PCM_16"),
    ("a.w64", "W64", "FLOAT"),
    ("a.caf", "CAF", "ALAC_16"),
    ("a.rf64", "RF64", "PCM_32"),
    ("a40.flac", "FLAC", "4.0"),  # by ffmpeg: the layout L R C Cb in its channel mask comment
]

FIELDS = ("integrated_lufs", "momentary_max_lufs", "short_term_max_lufs", "loudness_range_lu",
          "true_peak_dbtp", "sample_peak_dbfs", "rms_average_dbfs", "rms_max_dbfs", "frames",
          "rate_hz", "channels", "format", "channel_map", "channel_true_peak_dbtp")


def values(m):
    return tuple(getattr(m, f) for f in FIELDS)


@pytest.fixture(scope="module")
def encoded(tmp_path_factory):
    """Each format's file, 3.5 s of stereo noise at 48 kHz."""
    d = tmp_path_factory.mktemp("formats")
    x = wavgen.noise(3.5, 48000, 2, -18.0).reshape(-1, 2)
    out = {}
    for name, fmt, subtype in FORMATS:
        if subtype == "4.0":
            sf.write(d / "quad.wav", np.tile(x, 2), 48000)
            subprocess.run(["ffmpeg", "-v", "quiet", "-i", d / "quad.wav", "-af",
                            "channelmap=channel_layout=4.0", d / name], check=True)
        else:
            sf.write(d / name, x, 48000, format=fmt, subtype=subtype)
        out[name] = d / name
    return out


@pytest.mark.parametrize("name", [f[0] for f in FORMATS])
def test_bytes_and_file_objects_measure_as_the_path_does(encoded, name):
    path = encoded[name]
    data = path.read_bytes()
    want = values(sonorik_meter.measure(path))
    with open(path, "rb") as f:
        got = [sonorik_meter.measure(s) for s in
               (data, bytearray(data), memoryview(data), io.BytesIO(data), f)]
    assert [values(m) for m in got] == [want] * 5
    prefixed = io.BytesIO(b"junk" + data)
    prefixed.seek(4)
    assert values(sonorik_meter.measure(prefixed)) == want
    info = sonorik_meter.info(data)
    assert (info.format, info.frames, info.channel_map) == (want[11], want[8], want[12])
    assert name != "a40.flac" or want[12] == ("L", "R", "C", "Cb")
    meter = sonorik_meter.Meter(48000, want[10], channel_map=want[12])
    meter.add_source(io.BytesIO(data))
    assert values(meter.measurement())[:11] == want[:11]


class Failing(io.BytesIO):
    """Raises from readinto() past byte `at` (or from every call of `method`)."""

    def __init__(self, data, method, error):
        super().__init__(data)
        self.method, self.error = method, error

    def readinto(self, b):
        if self.method == "readinto" and self.tell() > 2000:
            raise self.error
        return super().readinto(b)

    def seek(self, *a):
        if self.method == "seek" and a[0] > 100 and a[1:] != (2,):
            raise self.error
        return super().seek(*a)


class Unseekable(io.RawIOBase):
    def __init__(self, data):
        self.inner = io.BytesIO(data)

    def readable(self):
        return True

    def readinto(self, b):
        return self.inner.readinto(b)


@pytest.mark.parametrize("method,error,expected", [
    ("readinto", ValueError("disk gone"), OSError),
    ("seek", OSError(5, "I/O error"), OSError),
    ("readinto", KeyboardInterrupt(), KeyboardInterrupt),
])
def test_a_file_object_that_raises_is_an_error_never_a_shorter_result(encoded, method, error,
                                                                      expected):
    data = encoded["a.wav"].read_bytes()
    source = Failing(data, method, error)
    with pytest.raises(expected) as e:
        sonorik_meter.measure(source)
    if expected is OSError:
        assert e.value.__cause__ is error
        assert str(e.value).startswith(f"{method}() raised {type(error).__name__}: ")
        assert repr(source) in str(e.value)


@pytest.mark.parametrize("source,message", [
    (b"RIFF", "Format not recognised: bytes of 4 bytes"),
    (bytearray(100), "Format not recognised: bytearray of 100 bytes"),
])
def test_bytes_that_are_no_audio_are_refused_by_what_they_are(source, message):
    with pytest.raises(OSError) as e:
        sonorik_meter.measure(source)
    assert str(e.value) == message


def test_a_failed_open_keeps_its_own_error_while_other_threads_open_files(encoded):
    # The decoder library keeps a failed open's error in one variable for the
    # whole process, which opens in other threads overwrite ("No Error.").
    good, errors = encoded["a.wav"].read_bytes(), []

    def open_many():
        for i in range(1500):
            try:
                sonorik_meter.info(b"RIFX" + bytes(86) if i % 2 else good)
            except OSError as e:
                errors.append(str(e))

    threads = [threading.Thread(target=open_many) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert set(errors) == {"Format not recognised: bytes of 90 bytes"}


def test_bytes_naming_a_file_say_to_pass_a_path(encoded):
    path = bytes(encoded["a.wav"])
    with pytest.raises(OSError, match="these bytes name an existing file: pass a path as str"):
        sonorik_meter.measure(path)
    assert sonorik_meter.measure(encoded["a.wav"]).frames == sonorik_meter.info(
        Unseekable(encoded["a.wav"].read_bytes())).frames


def test_a_meter_fed_a_file_then_blocks_measures_as_the_whole(encoded):
    x = sf.read(encoded["a.wav"])[0]
    meter = sonorik_meter.Meter(48000, 2)
    meter.add_source(encoded["a.wav"])
    meter.add(x)
    assert values(meter.measurement())[:8] == values(
        sonorik_meter.measure(np.concatenate([x, x]), 48000))[:8]
    with pytest.raises(ValueError, match="the source is 48000 Hz with 2 channels, and this "
                                         "meter measures 44100 Hz with 2"):
        sonorik_meter.Meter(44100, 2).add_source(encoded["a.wav"].read_bytes())


def test_numeric_memoryviews_stay_arrays():
    x = np.ascontiguousarray(wavgen.sine(1.0, 48000, 1, -20.0), dtype=np.float32)
    assert (sonorik_meter.measure(memoryview(x), 48000).integrated_lufs
            == sonorik_meter.measure(x, 48000).integrated_lufs)


class RangeHandler(http.server.SimpleHTTPRequestHandler):
    """Serves files with byte ranges, as object stores do."""

    def log_message(self, *args):
        pass

    def send_head(self):
        rng = self.headers.get("Range")
        path = self.translate_path(self.path)
        try:
            data = open(path, "rb").read()
        except OSError:
            self.send_error(404)
            return None
        if rng:
            start, _, end = rng.removeprefix("bytes=").partition("-")
            start, end = int(start), min(int(end or len(data) - 1), len(data) - 1)
            self.send_response(206)
            self.send_header("Content-Range", f"bytes {start}-{end}/{len(data)}")
            data = data[start:end + 1]
        else:
            self.send_response(200)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Accept-Ranges", "bytes")
        self.end_headers()
        return io.BytesIO(data)


@pytest.fixture(scope="module")
def http_root(encoded):
    directory = encoded["a.wav"].parent
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(RangeHandler, directory=str(directory)))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()


@pytest.mark.parametrize("name", ["a.wav", "a.flac", "a.ogg"])
def test_urls_are_read_through_fsspec(encoded, http_root, name):
    pytest.importorskip("fsspec")
    pytest.importorskip("aiohttp")
    want = values(sonorik_meter.measure(encoded[name]))
    assert values(sonorik_meter.measure(f"{http_root}/{name}")) == want
    with pytest.raises(FileNotFoundError):
        sonorik_meter.measure(f"{http_root}/missing.wav")


def measured_row(source, label):
    """What a table row holds for one source, from measure() itself."""
    try:
        m = sonorik_meter.measure(source)
    except (OSError, ValueError) as e:
        return {"source": label, "error": f"{type(e).__name__}: {e}"}
    row = {"source": label, "error": None}
    for name in _sonorik_many_columns():
        value = getattr(m, name)
        row[name] = list(value) if isinstance(value, tuple) else value
    return row


def _sonorik_many_columns():
    import _sonorik_many
    return [name for name, _ in _sonorik_many.MEASURE_COLUMNS]


@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    """2,000 short clips (0.05 to 0.5 s, so some are too short for every measure), every
    hundredth one damaged or no audio at all, one whose name is not UTF-8."""
    d = tmp_path_factory.mktemp("clips")
    rng = np.random.default_rng(3)
    paths = []
    for i in range(2000):
        x = wavgen.noise(rng.uniform(0.05, 0.5), 16000, 1, rng.uniform(-40, -10), state=i)
        data = wavgen.wav_bytes(wavgen.encode(x, 16), 1, 16000)
        if i % 100 == 7:
            data = data[:60] if i % 200 == 7 else b"not audio" * 10
        p = os.path.join(os.fsencode(d), f"clip{i:04d}".encode() + (b"\xe9" if i == 1 else b"") +
                         b".wav")
        Path(os.fsdecode(p)).write_bytes(data)
        paths.append(os.fsdecode(p))
    return paths


@pytest.mark.parametrize("how", ["threads", "processes", "bytes rows", "one worker"])
def test_many_sources_give_measures_rows_and_each_failure_its_own_row(clips, how):
    pa = pytest.importorskip("pyarrow")
    sources = ([{"bytes": open(p, "rb").read(), "path": p} for p in clips]
               if how == "bytes rows" else clips)
    table = sonorik_meter.measure_many(
        sources, pool="processes" if how == "processes" else "threads",
        workers=1 if how == "one worker" else 2, batch_size=None if how != "bytes rows" else 7)
    rows = table.to_pylist()
    assert len(rows) == 2000 and sum(r["error"] is not None for r in rows) == 20
    expected = [measured_row(s["bytes"] if how == "bytes rows" else p,
                             os.fsencode(p).decode("utf-8", "backslashreplace"))
                for s, p in zip(sources, clips)]
    got = [{k: v for k, v in r.items() if v is not None or k in e} for r, e in zip(rows, expected)]
    assert got == expected
    assert table.schema.field("channel_true_peak_dbtp").type == pa.list_(pa.float64())
    assert table.schema.field("frames").type == pa.int64()


def test_files_measured_side_by_side_give_measures_rows(tmp_path):
    """Mono, stereo and six channels at two rates, long enough for the loudness ring to wrap
    and its blocks to span several reads, most ending in a short step, a header that
    understates its data, a float file with a NaN, silence after loud audio, and bytes:
    each row is measure()'s own."""
    pytest.importorskip("pyarrow")
    sources = []
    for i, (seconds, rate, channels) in enumerate([(0.33, 44100, 1), (8.23, 44100, 1),
                                                   (3.1, 44100, 2), (5.07, 48000, 1),
                                                   (4.4, 44100, 6), (7.04, 44100, 1),
                                                   (0.0, 44100, 1), (6.17, 44100, 1)]):
        x = wavgen.noise(seconds, rate, channels, -20.0 - i, state=i).reshape(-1, channels)
        if i == 5:
            x[len(x) // 2:] = 0.0  # loud, then digital silence
        data = wavgen.encode(x.ravel(), 16)
        sources.append(tmp_path / f"m{i}.wav")
        sources[-1].write_bytes(wavgen.wav_bytes(
            data, channels, rate, declared_data_size=len(data) // 3 if i == 7 else None))
    nan = wavgen.noise(1.0, 44100, 1)
    nan[30000] = np.nan
    sources.append(wavgen.write_wav(tmp_path / "nan.wav", nan, 44100, kind="float"))
    sources.append(sources[1].read_bytes())
    with_series = sonorik_meter.measure_many(sources[:4], workers=1, series=True).to_pylist()
    for row, source in zip(with_series, sources):
        m = sonorik_meter.measure(source, series=True)
        for k in ("time_s", "momentary_lufs", "short_term_lufs", "true_peak_dbtp"):
            np.testing.assert_array_equal(row[f"series_{k}"], getattr(m, f"series_{k}"))
    rows = sonorik_meter.measure_many(sources, workers=1).to_pylist()
    expected = [measured_row(s, str(s) if isinstance(s, Path) else "sources[9]") for s in sources]
    assert expected[8]["error"].startswith("ValueError: the audio holds nan at frame 30000")
    assert [{k: v for k, v in r.items() if v is not None or k in e} for r, e in zip(rows, expected)] \
        == expected


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("dask.distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as c:
        yield c


def test_a_dask_cluster_gives_the_pools_table(clips, cluster):
    from dask.distributed import Client

    with Client(cluster) as client:
        on_cluster = sonorik_meter.measure_many(clips[:300], client=client, output="pandas")
    assert on_cluster.equals(sonorik_meter.measure_many(clips[:300]).to_pandas())


def sonorik(*args):
    return subprocess.run([sys.executable, "-m", "sonorik_cli", *map(str, args)],
                          capture_output=True, text=True, timeout=300)


def test_the_command_writes_parquet_from_a_cluster(clips, cluster, tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    files = clips[:30]  # one of them broken
    out = tmp_path / "out.parquet"
    remote = sonorik("analyze", "--scheduler", cluster.scheduler_address, "--format", "parquet",
                     "-o", out, *files)
    local = sonorik("analyze", "--format", "json", *files)
    assert (remote.returncode, local.returncode) == (1, 1), remote.stderr
    assert remote.stderr.count("clip0007.wav") == 1
    as_json = [{k: float(v) if isinstance(v, str) and k != "file" and k != "format" else v
                for k, v in json.loads(line).items()} for line in local.stdout.splitlines()]
    for row in as_json:  # a name that is not UTF-8 shows its bytes escaped
        row["file"] = os.fsencode(row["file"]).decode("utf-8", "backslashreplace")
    assert pq.read_table(out).to_pylist() == as_json
    assert sonorik("analyze", "--format", "parquet", "-o", clips[0], clips[1]).stderr.endswith(
        "exists and is not a parquet report with these columns: left as it is "
        "(choose another --output)\n")


def test_normalize_many_reports_each_source(clips, tmp_path):
    pytest.importorskip("pyarrow")
    sources = [clips[0], clips[7], clips[1]]
    destinations = [tmp_path / f"out{i}.flac" for i in range(3)]
    table = sonorik_meter.normalize_many(sources, destinations, target=-3.0,
                                         measure="true_peak").to_pylist()
    assert [r["source"] for r in table] == [clips[0], clips[7], clips[1].replace("\udce9", "\\xe9")]
    assert [r["error"] is None for r in table] == [True, False, True]
    for r, d in zip(table, destinations):
        if r["error"] is None:
            assert r["destination"] == str(d) and d.exists()
            assert sonorik_meter.measure(d).true_peak_dbtp == pytest.approx(r["output_level"])


@pytest.mark.parametrize("hidden,call,message", [
    ("fsspec", "sonorik_meter.measure('s3://bucket/a.wav')",
     'measuring a URL needs fsspec: pip install "sonorik[urls]" (s3://bucket/a.wav)'),
    ("pyarrow", "sonorik_meter.measure_many([])",
     'measure_many and normalize_many return tables, which need pyarrow: '
     'pip install "sonorik[tables]"'),
    ("pyarrow", "main(['analyze', '--format', 'parquet', '-o', 'x.parquet', 'x.wav'])",
     'sonorik analyze: error: --format parquet needs pyarrow: pip install "sonorik[tables]"'),
])
def test_a_missing_extra_is_named(hidden, call, message):
    code = (f"import sys; sys.modules[{hidden!r}] = None\n"
            "import sonorik_meter\n"
            "from sonorik_cli.main import main\n"
            "try:\n"
            f"    {call}\n"
            "except ImportError as e:\n"
            "    print(e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert (out.stdout + out.stderr).strip() == message


EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def test_the_examples_measure_an_archive_and_a_dataset(clips, tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    out = tmp_path / "archive.parquet"
    run = subprocess.run([sys.executable, EXAMPLES / "scale_out.py", *clips[:20], "-o", out,
                          "--workers", "2"], capture_output=True, text=True, timeout=300)
    assert run.returncode == 1 and run.stderr == f"20 files, 1 failed -> {out}\n"
    assert pq.read_table(out).equals(sonorik_meter.measure_many(clips[:20]))
    sys.path.insert(0, str(EXAMPLES))
    try:
        import hf_dataset
    finally:
        sys.path.remove(str(EXAMPLES))
    rows = {"audio": [{"bytes": open(p, "rb").read(), "path": p} for p in clips[:20]]}
    added = hf_dataset.measure_batch(rows)
    want = [measured_row(r["bytes"], r["path"]) for r in rows["audio"]]
    assert added["integrated_lufs"] == [w.get("integrated_lufs") for w in want]
    assert added["loudness_error"] == [w["error"] for w in want]
