"""Type-checked with `mypy --strict` against the installed stubs (never run).
The `type: ignore` lines are calls the stubs must reject: strict mode reports
an ignore that is not needed, so each one fails the check if it ever passes."""

from __future__ import annotations

import _sonorik
import sonorik
from sonorik import PyAnalysisResults, PyAudioInfo

ALL = (True, True, True, True, True, True, True)


def describe(info: PyAudioInfo) -> str:
    counts: list[int] = [info.sample_rate, info.channels, info.bit_depth, info.total_samples]
    seconds: float = info.duration_seconds
    return f"{counts} {seconds} {info.duration_formatted.upper()} {info.sample_format.lower()}"


def levels(results: PyAnalysisResults) -> list[float | None]:
    return [results.integrated_loudness, results.short_term_loudness,
            results.momentary_loudness, results.loudness_range, results.true_peak,
            results.rms_max, results.rms_average]


def everything(path: str, paths: list[str]) -> None:
    info, results = sonorik.analyze_audio(path, integrated_loudness=True, true_peak=True)
    info, results = sonorik.analyze_audio(path, True, False, False, True)
    describe(info)
    levels(results)
    info, results = sonorik.analyze_audio_all(file_path=path)
    info = sonorik.get_audio_info_py(path)

    sonorik.normalize_true_peak(path, -1.0)
    sonorik.normalize_integrated_loudness(path, -23, output_path="out.wav")
    sonorik.normalize_short_term_loudness(path, -18.0, None, -20.0)
    sonorik.normalize_momentary_loudness(path, target_lufs=-16.0, range_bound=-14)
    sonorik.normalize_rms_max(input_path=path, target_db=-12.0)
    sonorik.normalize_rms_average(path, -20.0, "out.wav", None)

    sonorik.export_to_csv(paths, "r.csv", *ALL)
    sonorik.export_to_tsv(tuple(paths), "r.tsv", True, False, False, False, True, False, False)
    sonorik.export_to_xml(paths, output_file="r.xml", integrated_loudness=True, short_term_loudness=False,
                          momentary_loudness=False, loudness_range=False, true_peak=False, rms_max=False, rms_average=False)
    sonorik.export_to_json(paths, "r.json", *ALL)

    found: list[str] = sonorik.find_audio_files("album")
    for name, file_info, file_results in sonorik.batch_analyze(found, *ALL):
        print(name.upper(), describe(file_info), levels(file_results))
    batch: list[tuple[str, PyAudioInfo, PyAnalysisResults]] = (
        sonorik.batch_analyze_directory_py("album", *ALL))
    print(batch)

    _sonorik.export_to_json(_sonorik.find_audio_files("album"), "r.json", *ALL)
    other: _sonorik.PyAudioInfo = _sonorik.get_audio_info_py(path)
    print(other.sample_rate + 1)


def rejected(path: str, info: PyAudioInfo, results: PyAnalysisResults) -> None:
    sonorik.analyze_audio(1)  # type: ignore[arg-type]
    sonorik.analyze_audio(path, 1)  # type: ignore[arg-type]
    sonorik.analyze_audio(path, rms=True)  # type: ignore[call-arg]
    sonorik.export_to_csv("a.wav", "r.csv", *ALL)  # type: ignore[arg-type]
    sonorik.batch_analyze(["a.wav"], True)  # type: ignore[call-arg]
    sonorik.normalize_true_peak(path, "-1")  # type: ignore[arg-type]
    info.sample_rate = 8000  # type: ignore[misc]
    bad: float = results.true_peak  # type: ignore[assignment]
    _sonorik.normalize_short_term_loudness(path, -1.0)  # type: ignore[attr-defined]
    _sonorik.export_to_tsv([path], "r.tsv", *ALL)  # type: ignore[attr-defined]
    print(bad)


def meter(path: str) -> list[float | None]:
    import pathlib

    import numpy as np

    import sonorik_meter

    m = sonorik_meter.measure(pathlib.Path(path), channel_map=["L", "R"], series=True)
    a = sonorik_meter.measure(np.zeros((10, 2), np.float32), 48000)
    times = m.series_time_s
    n: int = m.frames + m.rate_hz + m.channels + (0 if times is None else times.size)
    names: tuple[str, ...] = m.channel_map + sonorik_meter.CHANNEL_NAMES + sonorik_meter.extensions()
    files: list[str] = sonorik_meter.find_audio_files(pathlib.Path(path).parent)
    sonorik_meter.measure(path, series=1.5)  # type: ignore[arg-type]
    return [a.integrated_lufs, m.momentary_max_lufs, m.loudness_range_lu, float(n + len(names) + len(files)),
            *m.channel_rms_max_dbfs]


def meter_plot(path: str) -> object:
    import sonorik_meter

    m = sonorik_meter.measure(path, series=True)
    sonorik_meter.plot(m, "graph.png", target_lufs="-23")  # type: ignore[arg-type]
    peaks = m.series_true_peak_dbtp
    return sonorik_meter.plot(m, name="mix.wav", ceiling_dbtp=-1.0, width_px=0 if peaks is None else peaks.size)


def meter_normalize(path: str) -> list[float | None]:
    import pathlib

    import sonorik_meter

    r = sonorik_meter.normalize(path, pathlib.Path("out.flac"), target=-16.0, measure="true_peak",
                                ceiling=-1.0, range=(-18.0, -14.0), format="flac")
    names: tuple[str, ...] = sonorik_meter.MEASURES + r.channel_map
    reason: str | None = r.capped_by
    sonorik_meter.normalize(path, path, target="-16")  # type: ignore[arg-type]
    return [r.input_level, r.output_level, r.gain_asked_db, r.gain_applied_db, r.target,
            r.ceiling_dbtp, r.input_integrated_lufs, r.output_true_peak_dbtp,
            float(r.rate_hz + r.channels + r.frames + len(names) + len(reason or "")),
            float(r.dithered and r.written), float(len(r.source + r.destination + r.measure + r.unit
                                                       + r.input_format + r.output_format))]


def meter_fed(block: object, paths: list[str]) -> list[float | None]:
    import copy

    import sonorik_meter

    live = sonorik_meter.Meter(48000, 2, channel_map=["L", "R"], series=True)
    live.add(block)
    now: sonorik_meter.Readings = live.readings()
    twin: sonorik_meter.Meter = copy.deepcopy(live.copy())
    whole: sonorik_meter.Measurement = twin.measurement()
    live.reset()
    sonorik_meter.Meter(48000, channels="2")  # type: ignore[arg-type]
    album = sonorik_meter.measure_album([*paths, whole], 48000, channel_map=["L", "R"])
    tracks: tuple[sonorik_meter.Measurement, ...] = album.tracks
    return [now.momentary_lufs, now.short_term_lufs, now.momentary_max_lufs, now.short_term_max_lufs,
            now.duration_s, float(now.frames + live.frames + live.rate_hz + live.channels + len(live.channel_map)),
            float(live.series), album.integrated_lufs, album.relative_gate_lufs, album.loudness_range_lu,
            album.loudness_range_low_lufs, album.loudness_range_high_lufs, album.true_peak_dbtp,
            album.sample_peak_dbfs, album.duration_s, float(len(tracks))]


def meter_gains(paths: list[str]) -> list[float | None]:
    import sonorik_meter

    records = sonorik_meter.replaygain(paths, album=True, reference=-16.0, sample_peak=False)
    g: sonorik_meter.GainRecord = records[0]
    sonorik_meter.write_gain_tags(paths[0], g.tags)
    held: dict[str, str] = sonorik_meter.read_gain_tags(paths[0])
    sonorik_meter.replaygain(paths[0], album="yes")  # type: ignore[arg-type]
    where = g.file if isinstance(g.file, str) else ""
    return [g.integrated_lufs, g.track_gain_db, g.track_peak, g.album_lufs, g.album_gain_db,
            g.album_peak, g.reference_lufs, float(g.sample_peak + len(g.format) + len(held) + len(where)),
            g.measurement.integrated_lufs]


def meter_check(path: str) -> list[float | None]:
    import sonorik_meter

    presets: dict[str, sonorik_meter.CheckPreset] = sonorik_meter.check_presets()
    mine = sonorik_meter.load_check_preset("station.json")
    v: sonorik_meter.CheckVerdict = sonorik_meter.check(path, presets["ebu-r128"], series=True)
    sonorik_meter.check(v.measurement, {"integrated_lufs": -16.0})
    sonorik_meter.check(path, -23.0)  # type: ignore[arg-type]
    c: sonorik_meter.CheckCriterion = v.failures[0] if v.failures else v.criteria[0]
    return [c.measured, c.miss, c.low, c.high, v.platform_gain_db, mine.integrated_lufs,
            float(c.passed and v.passed and mine.turns_up), float(len(c.limit() + c.describe() + c.unit
                                                                       + c.miss_unit + c.note + c.name)),
            float(len(mine.limits() + mine.title + mine.kind + mine.source + mine.clause + mine.name)),
            mine.tolerance_lu, mine.true_peak_max_dbtp, mine.short_term_max_lufs, mine.momentary_max_lufs,
            float(len(v.file or "") + len(v.preset.name))]


def meter_streams(path: str) -> list[float | None]:
    import sonorik_meter

    i = sonorik_meter.info(path, stream=1)
    s: sonorik_meter.AudioStream = i.streams[0]
    m = sonorik_meter.measure(path, stream=s.index)
    sonorik_meter.measure(path, stream="1")  # type: ignore[arg-type]
    language: str = s.language or s.codec
    return [m.integrated_lufs, s.duration_s, float(s.rate_hz + s.channels + len(s.channel_map) + len(language)),
            float(s.default)]


def meter_sources(path: str, data: bytes) -> object:
    import io

    import sonorik_meter

    m = sonorik_meter.measure(io.BytesIO(data))
    sonorik_meter.info(memoryview(data))
    meter = sonorik_meter.Meter(48000, 2)
    meter.add_source(open(path, "rb"))
    sonorik_meter.measure_many([path, data, {"bytes": data, "path": path}], workers=2,
                               pool="processes", output="pandas")
    sonorik_meter.measure_many([path], pool="fork")  # type: ignore[arg-type]
    return sonorik_meter.normalize_many([path], ["out.wav"], target=-23.0, batch_size=8), m
