#!/usr/bin/env python3
"""Benchmark: sonorik against the tools a user would pick instead.

Generates its own audio under bench/out/ (deterministic pink-ish noise with
music-like level changes), runs every case several times with the peers and
ours alternating, and prints a markdown table of medians, ratios and peak
anonymous memory (RssAnon of the process tree, polled from /proc while each
run is going).

    python bench/run.py            # 5 repetitions
    python bench/run.py --quick    # 3 repetitions
    python bench/run.py --reps 9 --only long

Peers: `ffmpeg -af ebur128=peak=true`, pyloudnorm with soundfile (integrated
loudness only), and build/bench/ebur128_floor (one libebur128 meter on one
thread; see ebur128_floor.cpp). Every run is a fresh process; wall time is
measured around it. Rows that compare Python with Python in-process (the
directory scan) use the time of the call itself, reported by the child.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
OUT = HERE / "out"
FLOOR = ROOT / "build" / "bench" / "ebur128_floor"
PY = sys.executable

RATE = 48000
CHANNELS = 2
BITS = 24
LONG_SECONDS = 600
HOUR_SECONDS = 3600
SHORT_SECONDS = 2
SHORT_COUNT = 200
TREE_ENTRIES = 20_000
ALBUM_TRACKS = 10
ALBUM_TRACK_SECONDS = 240
FEED_BLOCK_FRAMES = 4800
ONE_FRAME_SECONDS = 10  # of audio fed one frame per call
GENERATOR_VERSION = "1"  # bump when the generated audio changes

# ---- generated input --------------------------------------------------------


def _pink_filter():
    # 1/f approximation (three poles, three zeros) applied to white noise.
    b = [0.049922035, -0.095993537, 0.050612699, -0.004408786]
    a = [1.0, -2.494956002, 2.017265875, -0.522189400]
    return b, a


def _level_plan(rng, seconds: float):
    """Breakpoints (time s, level dBFS) of a music-like envelope: sections of
    4 to 24 s at levels between -34 and -12 dBFS joined by 0.3 to 2 s ramps,
    with an occasional near-silent break."""
    times, levels = [0.0], [-20.0]
    t = 0.0
    while t < seconds + 30:
        ramp = float(rng.uniform(0.3, 2.0))
        length = float(rng.uniform(4.0, 24.0))
        level = float(rng.uniform(-34.0, -12.0)) if rng.random() > 0.08 else -65.0
        times += [t + ramp, t + ramp + length]
        levels += [level, level]
        t += ramp + length
    return times, levels


def _audio_chunks(seconds: float, state: int, chunk_seconds: float = 10.0):
    """Yields interleaved stereo float64 chunks of the generated signal."""
    import numpy as np
    from scipy.signal import lfilter, lfilter_zi

    rng = np.random.default_rng(state)
    b, a = _pink_filter()
    zi = [lfilter_zi(b, a) * 0.0 for _ in range(3)]
    times, levels = _level_plan(rng, seconds)
    total = int(round(seconds * RATE))
    beat_hz = float(rng.uniform(1.6, 2.4))
    done = 0
    while done < total:
        n = min(total - done, int(chunk_seconds * RATE))
        t = (done + np.arange(n)) / RATE
        pink = []
        for k in range(3):  # common, left, right
            y, zi[k] = lfilter(b, a, rng.standard_normal(n), zi=zi[k])
            pink.append(y)
        level_db = np.interp(t, times, levels)
        # beat-like pulses of a few dB on top of the sections
        level_db = level_db + 4.0 * (np.abs(np.sin(np.pi * beat_hz * t)) ** 4) - 2.0
        # pink noise from this filter has an RMS near 0.14 for unit white noise
        gain = 10.0 ** (level_db / 20.0) / 0.14
        left = gain * (0.8 * pink[0] + 0.6 * pink[1])
        right = gain * (0.8 * pink[0] + 0.6 * pink[2])
        out = np.empty(2 * n)
        out[0::2] = np.clip(left, -0.999, 0.999)
        out[1::2] = np.clip(right, -0.999, 0.999)
        yield out
        done += n


def _quantize24(chunk):
    """Float samples as 24-bit codes, left-justified in int32 (what soundfile writes)."""
    import numpy as np

    codes = np.clip(np.round(chunk * 8388608.0), -8388608, 8388607).astype(np.int32)
    return (codes << 8).reshape(-1, CHANNELS)


def _write_generated(path: Path, seconds: float, state: int) -> None:
    _write_audio(path, seconds, state, "WAV")


def _write_flac(path: Path, seconds: float, state: int, source: Path | None = None) -> None:
    """A 24-bit FLAC of the generated signal, or of the 24-bit WAV `source`."""
    _write_audio(path, seconds, state, "FLAC", source)


def _write_audio(path: Path, seconds: float, state: int, kind: str, source: Path | None = None) -> None:
    import soundfile

    tmp = path.with_suffix(".part")
    with soundfile.SoundFile(tmp, "w", RATE, CHANNELS, "PCM_24", format=kind) as w:
        if source is not None:
            with soundfile.SoundFile(source) as r:
                for block in r.blocks(RATE * 10, dtype="int32"):
                    w.write(block)
        else:
            for chunk in _audio_chunks(seconds, state):
                w.write(_quantize24(chunk))
    tmp.replace(path)


def _stamp_ok(stamp: Path, text: str) -> bool:
    return stamp.exists() and stamp.read_text() == text


def prepare_inputs(need_hour: bool, need_flac: bool) -> dict:
    """Creates whatever is missing; reuses what an earlier run left."""
    OUT.mkdir(parents=True, exist_ok=True)
    paths = {"long": OUT / "long_10min.wav", "hour": OUT / "long_60min.wav",
             "short_dir": OUT / "short", "tree": OUT / "tree", "scratch": OUT / "scratch"}
    todo = [("long", LONG_SECONDS, 101)] + ([("hour", HOUR_SECONDS, 202)] if need_hour else [])
    for key, seconds, state in todo:
        stamp = paths[key].with_suffix(".stamp")
        text = f"{GENERATOR_VERSION} {seconds} {state}"
        if not (paths[key].exists() and _stamp_ok(stamp, text)):
            print(f"generating {paths[key].name} ({seconds} s)...", file=sys.stderr, flush=True)
            _write_generated(paths[key], seconds, state)
            stamp.write_text(text)
    if need_flac:  # the 10-minute file as FLAC, a copy of it, and a one-hour FLAC
        paths.update(long_flac=OUT / "long_10min.flac", long_flac_b=OUT / "long_10min_b.flac",
                     hour_flac=OUT / "long_60min.flac")
        for key, seconds, state, source in [("long_flac", LONG_SECONDS, 101, paths["long"]),
                                            ("hour_flac", HOUR_SECONDS, 202, None)]:
            stamp = paths[key].with_suffix(".flac.stamp")
            text = f"{GENERATOR_VERSION} {seconds} {state}"
            if not (paths[key].exists() and _stamp_ok(stamp, text)):
                print(f"generating {paths[key].name} ({seconds} s)...", file=sys.stderr, flush=True)
                _write_flac(paths[key], seconds, state, source)
                stamp.write_text(text)
        if not (paths["long_flac_b"].exists() and
                paths["long_flac_b"].stat().st_mtime >= paths["long_flac"].stat().st_mtime):
            shutil.copyfile(paths["long_flac"], paths["long_flac_b"])

    short_dir = paths["short_dir"]
    stamp = OUT / "short.stamp"
    text = f"{GENERATOR_VERSION} {SHORT_COUNT} {SHORT_SECONDS}"
    if not _stamp_ok(stamp, text):
        print(f"generating {SHORT_COUNT} files of {SHORT_SECONDS} s...", file=sys.stderr, flush=True)
        shutil.rmtree(short_dir, ignore_errors=True)
        short_dir.mkdir()
        for i in range(SHORT_COUNT):
            _write_generated(short_dir / f"clip_{i:03d}.wav", SHORT_SECONDS, 1000 + i)
        stamp.write_text(text)

    tree = paths["tree"]
    stamp = OUT / "tree.stamp"
    text = f"{GENERATOR_VERSION} {TREE_ENTRIES}"
    if not _stamp_ok(stamp, text):
        print(f"generating a tree of {TREE_ENTRIES} entries...", file=sys.stderr, flush=True)
        shutil.rmtree(tree, ignore_errors=True)
        # 20 top directories x 9 subdirectories = 200 directories, 99 files each
        suffixes = [".wav", ".WAV", ".txt", ".aiff", ".jpg", ".wav", ".mp3", ".Wav", ".json"]
        count = 0
        for top in range(20):
            tdir = tree / f"artist_{top:02d}"
            tdir.mkdir(parents=True)
            count += 1
            dirs = [tdir]
            for sub in range(9):
                d = tdir / f"album_{sub}"
                d.mkdir()
                dirs.append(d)
                count += 1
            for d in dirs:
                for i in range(99):
                    (d / f"track_{i:02d}{suffixes[i % len(suffixes)]}").touch()
                    count += 1
        assert count == TREE_ENTRIES, count
        stamp.write_text(text)
    # The same audio as FLAC (libsndfile writes it), for the decoder's rows.
    flac = OUT / "long_10min.flac"
    stamp = OUT / "long_10min_flac.stamp"
    text = (OUT / "long_10min.stamp").read_text()
    if not (flac.exists() and _stamp_ok(stamp, text)):
        import soundfile
        print(f"writing {flac.name}...", file=sys.stderr, flush=True)
        with soundfile.SoundFile(str(paths["long"])) as src, \
                soundfile.SoundFile(str(flac), "w", RATE, CHANNELS, "PCM_24", format="FLAC") as dst:
            for block in src.blocks(blocksize=1 << 16, dtype="int32"):
                dst.write(block)
        stamp.write_text(text)
    paths["flac"] = flac
    paths["short"] = sorted(str(p) for p in short_dir.glob("*.wav"))
    paths["scratch"].mkdir(exist_ok=True)
    return paths


# ---- child tasks (run as `run.py --child TASK ...` in a fresh interpreter) ---


def _rss_anon_kib(pid: int | str = "self") -> int:
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def _child_main(task: str, args: list[str]) -> None:
    report: dict = {}
    if task in ("meter_normalize_limit", "meter_normalize_linear", "ffmpeg_loudnorm"):
        t0 = time.perf_counter()
        _limit_child(task, args, report)
        report["call_s"] = time.perf_counter() - t0
        print("BENCH " + json.dumps(report), flush=True)
        return
    if task.startswith("ours_"):
        import sonorik
    if "meter" in task or task.startswith("array_"):
        import sonorik_meter
    if task == "array_pyln":
        import pyloudnorm
    if task.startswith("array_"):  # the 10-minute file as a float32 array, read before timing
        import soundfile
        data = soundfile.read(args[0], dtype="float32")[0]
    report["rss_before_kib"] = _rss_anon_kib()
    t0 = time.perf_counter()
    if task == "ours_analyze":
        _, r = sonorik.analyze_audio_all(args[0])
        report["I"] = r.integrated_loudness
        report["TP"] = r.true_peak
        report["LRA"] = r.loudness_range
    elif task == "ours_meter":
        import sonorik_meter
        m = sonorik_meter.measure(args[0])
        report["I"] = m.integrated_lufs
        report["TP"] = m.true_peak_dbtp
        report["LRA"] = m.loudness_range_lu
    elif task == "sndfile_decode":
        import soundfile
        for _ in soundfile.blocks(args[0], blocksize=65536, dtype="float64"):
            pass
    elif task == "ours_batch":
        entries = sonorik.batch_analyze([args[0]], *[True] * 7)
        r = entries[0][2]
        report["I"] = r.integrated_loudness
        report["TP"] = r.true_peak
        report["LRA"] = r.loudness_range
    elif task == "ours_export":
        out = Path(args[0])
        out.unlink(missing_ok=True)
        sonorik.export_to_json(json.loads(Path(args[1]).read_text()), str(out), *[True] * 7)
    elif task == "ours_import_only":
        pass
    elif task == "meter_measure":
        m = sonorik_meter.measure(args[0])
        report.update(I=m.integrated_lufs, TP=m.true_peak_dbtp, LRA=m.loudness_range_lu)
    elif task == "meter_serial":
        for p in args:
            sonorik_meter.measure(p)
    elif task == "meter_threads":
        from concurrent.futures import ThreadPoolExecutor
        with ThreadPoolExecutor(len(args)) as pool:
            list(pool.map(sonorik_meter.measure, args))
    elif task == "array_meter":
        report["I"] = sonorik_meter.measure(data, RATE).integrated_lufs
    elif task == "array_feed":  # Meter fed blocks of args[1] frames, then read
        m = sonorik_meter.Meter(RATE, CHANNELS)
        step = int(args[1])
        for start in range(0, len(data), step):
            m.add(data[start:start + step])
        report["I"] = m.measurement().integrated_lufs
    elif task == "array_frames_feed":  # the first seconds one frame per add(), the views made before
        m = sonorik_meter.Meter(RATE, CHANNELS)
        frames = [data[i:i + 1] for i in range(ONE_FRAME_SECONDS * RATE)]
        report["rss_before_kib"] = _rss_anon_kib()
        t0 = time.perf_counter()
        for frame in frames:
            m.add(frame)
        report["I"] = m.measurement().integrated_lufs
    elif task == "array_frames_whole":  # the same seconds in one call
        report["I"] = sonorik_meter.measure(data[:ONE_FRAME_SECONDS * RATE], RATE).integrated_lufs
    elif task == "meter_album":
        report["I"] = sonorik_meter.measure_album(args).integrated_lufs
    elif task == "array_pyln":
        report["I"] = pyloudnorm.Meter(RATE).integrated_loudness(data)
    elif task == "ours_normalize":
        sonorik.normalize_integrated_loudness(args[0], -23.0, output_path=args[1])
    elif task == "meter_normalize":
        import sonorik_meter
        report["rss_before_kib"] = _rss_anon_kib()
        r = sonorik_meter.normalize(args[0], args[1], target=-23.0)
        report["I"] = r.output_integrated_lufs
        report["TP"] = r.output_true_peak_dbtp
        report["capped_by"] = r.capped_by
    elif task == "ours_find":
        report["found"] = len(sonorik.find_audio_files(args[0]))
    elif task == "pyln_integrated":
        import pyloudnorm
        import soundfile
        data, rate = soundfile.read(args[0])
        report["I"] = pyloudnorm.Meter(rate).integrated_loudness(data)
    elif task == "pyln_export":
        import pyloudnorm
        import soundfile
        records = []
        for p in json.loads(Path(args[1]).read_text()):
            data, rate = soundfile.read(p)
            records.append({"file": os.path.basename(p),
                            "integrated_loudness": pyloudnorm.Meter(rate).integrated_loudness(data)})
        Path(args[0]).write_text(json.dumps(records))
    elif task == "pyln_normalize":
        import pyloudnorm
        import soundfile
        data, rate = soundfile.read(args[0])
        loudness = pyloudnorm.Meter(rate).integrated_loudness(data)
        soundfile.write(args[1], pyloudnorm.normalize.loudness(data, loudness, -23.0), rate,
                        subtype="PCM_24")
    elif task == "ffmpeg_normalize":
        # two passes: measure, then apply one gain (what the library does)
        first = subprocess.run(["ffmpeg", "-hide_banner", "-nostats", "-i", args[0], "-af",
                                "ebur128=framelog=verbose", "-f", "null", "-"],
                               capture_output=True, text=True, check=True)
        loudness = float(re.findall(r"I:\s+(-?[\d.]+) LUFS", first.stderr)[-1])
        subprocess.run(["ffmpeg", "-hide_banner", "-nostats", "-loglevel", "error", "-y", "-i",
                        args[0], "-af", f"volume={-23.0 - loudness:.4f}dB", "-c:a", "pcm_s24le",
                        args[1]], check=True)
    elif task == "oswalk_find":
        found = []
        for dirpath, dirnames, filenames in os.walk(args[0]):
            dirnames[:] = [d for d in dirnames if not d.startswith(".")]
            for name in filenames:
                if not name.startswith(".") and \
                        os.path.splitext(name)[1].lower() in (".wav", ".aif", ".aiff"):
                    found.append(os.path.join(dirpath, name))
        found.sort(key=lambda p: p.split(os.sep))
        report["found"] = len(found)
    elif task.startswith("many_"):
        import many_clips as dataset_bench
        t0 = dataset_bench.child(task, args, report)
    else:
        raise SystemExit(f"unknown task {task}")
    report["call_s"] = time.perf_counter() - t0
    print("BENCH " + json.dumps(report), flush=True)


# ---- running and measuring --------------------------------------------------


def _tree_pids(pid: int) -> list[int]:
    out, todo = [], [pid]
    while todo:
        p = todo.pop()
        out.append(p)
        try:
            for tid in os.listdir(f"/proc/{p}/task"):
                with open(f"/proc/{p}/task/{tid}/children") as f:
                    todo += [int(c) for c in f.read().split()]
        except OSError:
            pass
    return out


@dataclass
class Sample:
    wall_s: float
    cpu_s: float
    peak_anon_kib: int
    call_s: float | None = None
    report: dict = field(default_factory=dict)
    output: str = ""


def run_measured(argvs: list[list[str]], poll_s: float, capture: bool = False) -> Sample:
    """Runs the commands one after another; wall time around all of them, CPU
    time of them all, and the peak RssAnon summed over each process tree."""
    wall = cpu = 0.0
    peak = 0
    call = None
    report: dict = {}
    text = []
    c0 = _children_cpu()
    for argv in argvs:
        proc = subprocess.Popen(argv, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE if capture else subprocess.DEVNULL,
                                text=True)
        done = threading.Event()
        box = [0]

        def poll(pid=proc.pid):
            while not done.is_set():
                box[0] = max(box[0], sum(_rss_anon_kib(p) for p in _tree_pids(pid)))
                done.wait(poll_s)

        t0 = time.perf_counter()
        poller = threading.Thread(target=poll, daemon=True)
        poller.start()
        out, err = proc.communicate()
        wall += time.perf_counter() - t0
        done.set()
        poller.join()
        if proc.returncode != 0:
            raise RuntimeError(f"{' '.join(argv)} failed ({proc.returncode}):\n{out}\n{err or ''}")
        peak = max(peak, box[0])
        for line in out.splitlines():
            if line.startswith("BENCH "):
                report = json.loads(line[6:])
                call = (call or 0.0) + report["call_s"]
        text.append(out + (err or ""))
    cpu = _children_cpu() - c0
    return Sample(wall, cpu, peak, call, report, "".join(text))


def _children_cpu() -> float:
    r = os.times()
    return r.children_user + r.children_system


@dataclass
class Runner:
    key: str
    label: str
    argvs: list[list[str]]
    samples: list[Sample] = field(default_factory=list)
    reading: str = ""

    def median(self, what: str = "wall") -> float:
        if what == "call":
            return statistics.median(s.call_s for s in self.samples)
        return statistics.median(s.wall_s for s in self.samples)

    def median_cpu(self) -> float:
        return statistics.median(s.cpu_s for s in self.samples)

    def peak_mib(self) -> float:
        return max(s.peak_anon_kib for s in self.samples) / 1024.0


def child_argv(task: str, *args: str) -> list[str]:
    return [PY, str(Path(__file__).resolve()), "--child", task, *args]


def ffmpeg_argv(path: str, quiet: bool = True) -> list[str]:
    return (["ffmpeg", "-hide_banner", "-nostats"] + (["-loglevel", "error"] if quiet else []) +
            ["-i", path, "-af", "ebur128=peak=true" + ("" if quiet else ":framelog=verbose"),
             "-f", "null", "-"])


def run_group(name: str, runners: list[Runner], reps: int, poll_s: float) -> None:
    """One untimed warm-up of each runner, then `reps` rounds in which every
    runner runs once, the order rotating from round to round."""
    print(f"[{name}] warm-up", file=sys.stderr, flush=True)
    for r in runners:
        run_measured(r.argvs, poll_s)
    for i in range(reps):
        order = runners[i % len(runners):] + runners[:i % len(runners)]
        for r in order:
            r.samples.append(run_measured(r.argvs, poll_s))
        print(f"[{name}] round {i + 1}/{reps}: " +
              ", ".join(f"{r.key} {r.samples[-1].wall_s:.2f}s" for r in runners),
              file=sys.stderr, flush=True)


def readings(runners: dict[str, Runner], long_path: str) -> None:
    """The measures each tool reports for the 10-minute file (one extra run)."""
    s = run_measured([ffmpeg_argv(long_path, quiet=False)], 0.05, capture=True).output
    summary = s[s.rfind("Summary:"):]
    i = re.search(r"I:\s+(-?[\d.]+) LUFS", summary)
    lra = re.search(r"LRA:\s+(-?[\d.]+) LU", summary)
    tp = re.search(r"Peak:\s+(-?[\d.]+) dBFS", summary)
    if "ffmpeg" in runners and i and lra and tp:
        runners["ffmpeg"].reading = f"I {i[1]}, LRA {lra[1]}, TP {tp[1]}"
    for key in ("floor_lra", "floor_an"):
        if key in runners:
            out = run_measured(runners[key].argvs, 0.05).output.strip()
            runners[key].reading = out.split(": ", 1)[-1].replace(" LUFS", "").replace(
                " LU", "").replace(" dBFS", "")
    for key in ("ours_analyze", "ours_batch", "pyln"):
        if key in runners and runners[key].samples:
            rep = runners[key].samples[-1].report
            parts = [f"I {rep['I']:.2f}"]
            if "LRA" in rep:
                parts += [f"LRA {rep['LRA']:.2f}", f"TP {rep['TP']:.2f}"]
            runners[key].reading = ", ".join(parts)


# ---- the report ---------------------------------------------------------------


def machine() -> str:
    cpu = "unknown CPU"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    mem_gib = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2 ** 30
    return (f"{cpu}, {os.cpu_count()} logical CPUs, {mem_gib:.0f} GiB, "
            f"{platform.system()} {platform.release()}, Python {platform.python_version()}")


def bench_meter_normalize(inputs: dict, reps: int, poll: float) -> tuple[list[tuple], list[tuple]]:
    """sonorik_meter.normalize against ffmpeg's two passes on the 10-minute
    WAV, and its peak anonymous memory on the one-hour WAV and FLAC."""
    long_path, scratch = str(inputs["long"]), inputs["scratch"]
    g = {r.key: r for r in [
        Runner("ours", "sonorik_meter.normalize (measure, write, re-measure)",
               [child_argv("meter_normalize", long_path, str(scratch / "meter_norm.wav"))]),
        Runner("ffmpeg", "ffmpeg two passes: ebur128, then volume to pcm_s24le",
               [child_argv("ffmpeg_normalize", long_path, str(scratch / "norm_ffmpeg.wav"))]),
    ]}
    run_group("sonorik_meter.normalize", list(g.values()), reps, poll)
    rows = [("sonorik_meter.normalize, 10 min WAV 24-bit to WAV", g["ours"], g["ffmpeg"], "wall",
             "<= 0.6", 0.6)]
    hour = inputs["hour"]
    flac = hour.with_suffix(".flac")
    if not flac.exists():
        print(f"encoding {flac.name}...", file=sys.stderr, flush=True)
        subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-i", str(hour),
                        "-c:a", "flac", str(scratch / "hour.part.flac")], check=True)
        (scratch / "hour.part.flac").replace(flac)
    memory = []
    for path, label in [(hour, "sonorik_meter.normalize, 1 hour WAV"),
                        (flac, "sonorik_meter.normalize, 1 hour FLAC")]:
        print(f"[memory] {label}", file=sys.stderr, flush=True)
        sample = run_measured([child_argv("meter_normalize", str(path),
                                          str(scratch / ("meter_hour" + path.suffix)))], 0.005)
        memory.append((label, sample.peak_anon_kib / 1024.0, sample.report["rss_before_kib"] / 1024.0))
    return rows, memory


def bench_video(inputs: dict, reps: int, poll: float) -> list[tuple]:
    """sonorik_meter.measure of a 10-minute stereo 48 kHz AAC track in an MP4
    with a small video stream (made once from the 10-minute WAV; read through
    PyAV) against ffmpeg's ebur128=peak=true on the same file."""
    mp4 = OUT / "long_10min_video.mp4"
    if not mp4.exists():
        print(f"encoding {mp4.name}...", file=sys.stderr, flush=True)
        part = inputs["scratch"] / "video.part.mp4"
        subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-i", str(inputs["long"]),
                        "-f", "lavfi", "-i", f"testsrc=s=160x90:r=10:d={LONG_SECONDS}", "-map", "0:a",
                        "-map", "1:v", "-c:a", "aac", "-b:a", "192k", "-c:v", "libx264", "-preset",
                        "ultrafast", str(part)], check=True)
        part.replace(mp4)
    g = {r.key: r for r in [
        Runner("ffmpeg_mp4", "ffmpeg ebur128=peak=true, same MP4", [ffmpeg_argv(str(mp4))]),
        Runner("meter_mp4", "sonorik_meter.measure, MP4 (PyAV)", [child_argv("meter_measure", str(mp4))]),
    ]}
    run_group("video", list(g.values()), reps, poll)
    return [("measure, 10 min AAC in MP4 with video, all measures", g["meter_mp4"], g["ffmpeg_mp4"],
             "wall", "<= 0.6", 0.6)]


def album_tracks() -> list[str]:
    """Ten 4-minute 24-bit FLACs of the generated signal (made once)."""
    folder = OUT / "album"
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for i in range(ALBUM_TRACKS):
        path = folder / f"track_{i:02d}.flac"
        stamp = path.with_suffix(".stamp")
        text = f"{GENERATOR_VERSION} {ALBUM_TRACK_SECONDS} {300 + i}"
        if not (path.exists() and _stamp_ok(stamp, text)):
            print(f"generating {path.name} ({ALBUM_TRACK_SECONDS} s)...", file=sys.stderr, flush=True)
            _write_flac(path, ALBUM_TRACK_SECONDS, 300 + i)
            stamp.write_text(text)
        paths.append(str(path))
    return paths


def bench_feed(long_path: str, reps: int, poll: float) -> tuple[list[tuple], list[str]]:
    """Meter fed 4,800-frame blocks against measure() of the whole array, the
    cost of one add() of one frame, and measure_album against measuring the
    tracks one by one."""
    tracks = album_tracks()
    g = {r.key: r for r in [
        Runner("feed", f"Meter.add, {FEED_BLOCK_FRAMES}-frame blocks, then measurement()",
               [child_argv("array_feed", long_path, str(FEED_BLOCK_FRAMES))]),
        Runner("whole", "sonorik_meter.measure, the whole array", [child_argv("array_meter", long_path)]),
        Runner("frames", f"Meter.add, one frame per call, {ONE_FRAME_SECONDS} s",
               [child_argv("array_frames_feed", long_path)]),
        Runner("frames_whole", f"sonorik_meter.measure, the same {ONE_FRAME_SECONDS} s",
               [child_argv("array_frames_whole", long_path)]),
        Runner("album", f"measure_album, {ALBUM_TRACKS} FLACs", [child_argv("meter_album", *tracks)]),
        Runner("serial", "sonorik_meter.measure, the same FLACs one by one",
               [child_argv("meter_serial", *tracks)]),
    ]}
    run_group("Meter and albums", list(g.values()), reps, poll)
    rows = [("Meter fed 4,800-frame blocks, float32 array 10 min", g["feed"], g["whole"], "call", "<= 1.3", 1.3),
            (f"measure_album, {ALBUM_TRACKS} x {ALBUM_TRACK_SECONDS // 60} min FLAC", g["album"], g["serial"],
             "call", "<= 1.05", 1.05)]
    calls = ONE_FRAME_SECONDS * RATE
    per_call_us = (g["frames"].median("call") - g["frames_whole"].median("call")) / calls * 1e6
    verdict = "met" if per_call_us <= 1.0 else "**missed**"
    lines = [f"| Meter.add of one frame: time per call above measure()'s per frame ({calls:,} calls) | — | — | "
             f"<= 1 us {verdict} | {per_call_us:.2f} us ({g['frames'].median('call'):.3f} s in call) | "
             f"{g['frames_whole'].median('call'):.3f} s | — | — |"]
    return rows, lines


def tool_versions() -> str:
    parts = []
    try:
        first = subprocess.run(["ffmpeg", "-version"], capture_output=True, text=True).stdout
        parts.append(first.splitlines()[0].split(" Copyright")[0])
    except (OSError, IndexError):
        pass
    try:
        import importlib.metadata as md
        parts.append(f"pyloudnorm {md.version('pyloudnorm')}, soundfile {md.version('soundfile')}")
    except Exception:  # noqa: BLE001 - versions are informative only
        pass
    try:
        v = subprocess.run(["pkg-config", "--modversion", "libebur128"], capture_output=True,
                           text=True).stdout.strip()
        if v:
            parts.append(f"libebur128 {v}")
    except OSError:
        pass
    return "; ".join(parts)


# ---- the true-peak limiter: normalize(limit=True) --------------------------


def _write_speech_music(path: Path, seconds: float) -> None:
    """Stereo 24-bit speech and music: espeak-ng phrases over a chord bed that
    swells and a band-limited drum hit every half second, whose peaks stand
    far above the speech (a linear gain to -16 LUFS is capped by -1 dBTP).
    Written 10 s at a time."""
    import numpy as np
    import soundfile
    speech_wav = path.with_name("speech_phrases.wav")
    text = "Welcome back. Today: loudness, peaks and players. " * 3
    subprocess.run(["espeak-ng", "-w", str(speech_wav), "-s", "150", "-g", "12", text], check=True)
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", str(speech_wav), "-ar", str(RATE), "-ac",
                          "1", "-f", "f64le", "-"], check=True, capture_output=True).stdout
    speech_wav.unlink()
    speech = np.frombuffer(raw, "<f8")
    rng = np.random.default_rng(7)
    m = int(0.08 * RATE)
    spectrum = np.fft.rfft(rng.standard_normal((40, m)) * np.exp(-np.arange(m) / (0.003 * RATE)), axis=1)
    spectrum[:, np.fft.rfftfreq(m, 1 / RATE) > 16000] = 0
    hits = np.fft.irfft(spectrum, m, axis=1) * 0.4
    n, chunk = int(seconds * RATE), 10 * RATE
    tmp = path.with_suffix(".part.wav")
    with soundfile.SoundFile(str(tmp), "w", RATE, CHANNELS, "PCM_24") as w:
        for start in range(0, n, chunk):
            i = np.arange(start, min(n, start + chunk))
            t = i / RATE
            swell = 0.02 + 0.04 * np.sin(2 * np.pi * t / 120.0) ** 2
            bed = swell * sum(np.sin(2 * np.pi * f * t) for f in (110, 165, 220, 277))
            drum = np.zeros(len(i))
            for k in range(start // (RATE // 2), (i[-1] + m) // (RATE // 2) + 1):
                at = k * (RATE // 2) + RATE // 4 - start
                lo, hi = max(at, 0), min(at + m, len(i))
                if lo < hi:
                    drum[lo:hi] += hits[k % len(hits)][lo - at:hi - at]
            voice = 0.5 * speech[i % len(speech)]
            w.write(0.6 * np.stack([voice + bed + drum, voice + 0.9 * bed + 0.8 * drum], 1))
    tmp.replace(path)


def _limit_child(task: str, args: list[str], report: dict) -> None:
    """The limiter's child tasks: sonorik_meter.normalize to -16 LUFS under
    -1 dBTP, linear or limited, and ffmpeg's loudnorm at the same targets."""
    if task == "ffmpeg_loudnorm":
        subprocess.run(["ffmpeg", "-hide_banner", "-nostats", "-loglevel", "error", "-y", "-i",
                        args[0], "-af", "loudnorm=I=-16:TP=-1", "-ar", str(RATE), "-c:a",
                        "pcm_s24le", args[1]], check=True)
        return
    import sonorik_meter
    r = sonorik_meter.normalize(args[0], args[1], target=-16.0, ceiling=-1.0,
                                limit=task == "meter_normalize_limit")
    report.update(I=r.output_integrated_lufs, TP=r.output_true_peak_dbtp, capped_by=r.capped_by)


def bench_limit(inputs: dict, reps: int, poll: float) -> tuple[list[tuple], list[str]]:
    """normalize(limit=True) against the linear normalisation of the same
    10-minute speech-and-music WAV, and ffmpeg's loudnorm (its dynamic mode)
    beside it; the three outputs read by ffmpeg's ebur128."""
    source = OUT / "speech_music_10min.wav"
    stamp = source.with_suffix(".stamp")
    text = f"{GENERATOR_VERSION} {LONG_SECONDS} speech-music"
    if not (source.exists() and _stamp_ok(stamp, text)):
        print(f"generating {source.name}...", file=sys.stderr, flush=True)
        _write_speech_music(source, LONG_SECONDS)
        stamp.write_text(text)
    scratch = inputs["scratch"]
    outs = {k: str(scratch / f"speech_music_{k}.wav") for k in ("limit", "linear", "loudnorm")}
    g = {r.key: r for r in [
        Runner("limit", "sonorik_meter.normalize(limit=True), -16 LUFS, -1 dBTP",
               [child_argv("meter_normalize_limit", str(source), outs["limit"])]),
        Runner("linear", "sonorik_meter.normalize (linear, capped), same targets",
               [child_argv("meter_normalize_linear", str(source), outs["linear"])]),
        Runner("loudnorm", "ffmpeg loudnorm=I=-16:TP=-1 (one pass, dynamic), to pcm_s24le",
               [child_argv("ffmpeg_loudnorm", str(source), outs["loudnorm"])]),
    ]}
    run_group("limiter, 10 min speech and music", list(g.values()), reps, poll)
    case = "normalize --limit, 10 min speech+music WAV"
    rows = [(case, g["limit"], g["linear"], "wall", "<= 1.3", 1.3),
            (case, g["limit"], g["loudnorm"], "wall", "", None)]
    read = []
    for key, path in [("source", str(source))] + list(outs.items()):
        s = run_measured([ffmpeg_argv(path, quiet=False)], 0.05, capture=True).output
        values = re.findall(r"(?:I|LRA|Peak):\s+(-?[\d.]+|-inf)", s[s.rfind("Summary:"):])
        read.append(f"{key} I {values[0]} LUFS, LRA {values[1]} LU, TP {values[2]} dBTP")
    return rows, ["Speech and music, 10 min, read by ffmpeg ebur128=peak=true: " + "; ".join(read)]


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--reps", type=int, default=5, help="timed rounds per case (default 5)")
    ap.add_argument("--quick", action="store_true", help="3 rounds")
    ap.add_argument("--only", default="long,export,normalize,meter_normalize,find,memory,meter,feed,tag,plot,"
                                      "video,limit,datasets",
                    help="comma list of groups: long,export,normalize,meter_normalize,find,memory,meter,feed,"
                         "tag,plot,video,limit,datasets")
    ap.add_argument("--poll-ms", type=float, default=20.0,
                    help="RssAnon polling interval during timed runs (default 20)")
    ap.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    a = ap.parse_args()
    if a.child:
        _child_main(a.child[0], a.child[1:])
        return 0
    reps = 3 if a.quick else a.reps
    groups = set(a.only.split(","))
    poll = a.poll_ms / 1000.0
    if not FLOOR.exists():
        print(f"missing {FLOOR}; build it with `make bench`", file=sys.stderr)
        return 2
    inputs = prepare_inputs("memory" in groups or "plot" in groups or "meter_normalize" in groups,
                            "meter" in groups)
    long_path = str(inputs["long"])
    scratch = inputs["scratch"]
    rows: list[tuple] = []  # (case, ours runner, peer runner or None, basis, target text, bound)
    notes: list[str] = []

    if "long" in groups:
        g = {r.key: r for r in [
            Runner("ffmpeg", "ffmpeg ebur128=peak=true", [ffmpeg_argv(long_path)]),
            Runner("ours_analyze", "sonorik analyze_audio_all", [child_argv("ours_analyze", long_path)]),
            Runner("ours_meter", "sonorik_meter.measure", [child_argv("ours_meter", long_path)]),
            Runner("ours_meter_flac", "sonorik_meter.measure, FLAC",
                   [child_argv("ours_meter", str(inputs["flac"]))]),
            Runner("decode_flac", "libsndfile decode alone (soundfile.blocks, float64)",
                   [child_argv("sndfile_decode", str(inputs["flac"]))]),
            Runner("ours_batch", "sonorik batch_analyze (all flags)", [child_argv("ours_batch", long_path)]),
            Runner("floor_an", "libebur128, 1 thread, M/S/I + true peak, M and S read every 100 ms",
                   [[str(FLOOR), "analysis", long_path]]),
            Runner("floor_lra", "libebur128, 1 thread, M/S/I/LRA + true peak", [[str(FLOOR), "lra", long_path]]),
            Runner("floor_read", "reading and converting alone (fread, 24-bit to double, 1 thread, no Python)",
                   [[str(FLOOR), "read", long_path]]),
            Runner("startup", "the interpreter starting and importing sonorik, nothing measured",
                   [child_argv("ours_import_only")]),
            Runner("pyln", "pyloudnorm + soundfile, integrated only",
                   [child_argv("pyln_integrated", long_path)]),
        ]}
        run_group("10-minute file", list(g.values()), reps, poll)
        readings(g, long_path)
        rows += [
            ("analyze_audio_all, 10 min", g["ours_analyze"], g["ffmpeg"], "wall", "<= 0.15", 0.15),
            ("sonorik_meter.measure, 10 min WAV", g["ours_meter"], g["ffmpeg"], "wall", "<= 0.15", 0.15),
            ("sonorik_meter.measure, 10 min FLAC", g["ours_meter_flac"], g["decode_flac"], "wall",
             "<= 1.2", 1.2),
            ("analyze_audio_all, 10 min", g["ours_analyze"], g["floor_an"], "wall", "<= 0.65", 0.65),
            ("analyze_audio_all, 10 min", g["ours_analyze"], g["floor_lra"], "wall", "", None),
            ("analyze_audio_all, 10 min", g["ours_analyze"], g["floor_read"], "wall", "", None),
            ("analyze_audio_all, 10 min", g["ours_analyze"], g["startup"], "wall", "", None),
            ("analyze_audio_all, 10 min", g["ours_analyze"], g["pyln"], "wall", "<= 0.2 (5x faster)", 0.2),
            ("batch_analyze all flags, 10 min", g["ours_batch"], g["ffmpeg"], "wall", "<= 0.9", 0.9),
            ("batch_analyze all flags, 10 min", g["ours_batch"], g["floor_lra"], "wall", "", None),
        ]
        notes.append("Readings on the 10-minute file (LUFS, LU, dBFS): " + "; ".join(
            f"{r.label}: {r.reading}" for r in g.values() if r.reading))

    if "export" in groups:
        listing = scratch / "short_list.json"
        listing.write_text(json.dumps(inputs["short"]))
        g = {r.key: r for r in [
            Runner("ffmpeg", f"ffmpeg ebur128=peak=true, one process per file",
                   [ffmpeg_argv(p) for p in inputs["short"]]),
            Runner("ours", "sonorik export_to_json", [child_argv("ours_export", str(scratch / "r.json"),
                                                                 str(listing))]),
            Runner("floor_lra", "libebur128, 1 thread, M/S/I/LRA + true peak, one process",
                   [[str(FLOOR), "lra", *inputs["short"]]]),
            Runner("pyln", "pyloudnorm + soundfile loop, integrated only",
                   [child_argv("pyln_export", str(scratch / "p.json"), str(listing))]),
        ]}
        run_group("200 short files", list(g.values()), reps, poll)
        case = f"export_to_json, {SHORT_COUNT} x {SHORT_SECONDS} s"
        rows += [(case, g["ours"], g["ffmpeg"], "wall", "", None),
                 (case, g["ours"], g["floor_lra"], "wall", "", None),
                 (case, g["ours"], g["pyln"], "wall", "", None)]

    if "normalize" in groups:
        g = {r.key: r for r in [
            Runner("ours", "sonorik normalize_integrated_loudness",
                   [child_argv("ours_normalize", long_path, str(scratch / "norm_ours.wav"))]),
            Runner("ffmpeg", "ffmpeg two passes: ebur128, then volume to pcm_s24le",
                   [child_argv("ffmpeg_normalize", long_path, str(scratch / "norm_ffmpeg.wav"))]),
            Runner("pyln", "pyloudnorm: read, integrated, normalize.loudness, write PCM_24",
                   [child_argv("pyln_normalize", long_path, str(scratch / "norm_pyln.wav"))]),
        ]}
        run_group("normalize", list(g.values()), reps, poll)
        case = "normalize_integrated_loudness, 10 min"
        rows += [(case, g["ours"], g["ffmpeg"], "wall", "", None),
                 (case, g["ours"], g["pyln"], "wall", "", None)]

    meter_memory_rows = []
    if "meter_normalize" in groups:
        rows_, meter_memory_rows = bench_meter_normalize(inputs, reps, poll)
        rows += rows_

    if "find" in groups:
        tree = str(inputs["tree"])
        g = {r.key: r for r in [
            Runner("ours", "sonorik find_audio_files", [child_argv("ours_find", tree)]),
            Runner("walk", "os.walk + extension filter + sort (in Python)", [child_argv("oswalk_find", tree)]),
        ]}
        run_group("scan", list(g.values()), reps, poll)
        found = {k: r.samples[-1].report.get("found") for k, r in g.items()}
        if found["ours"] != found["walk"]:
            notes.append(f"find_audio_files found {found['ours']} files, os.walk {found['walk']}")
        rows.append((f"find_audio_files, {TREE_ENTRIES:,} entries", g["ours"], g["walk"], "call", "", None))

    meter_memory = None
    if "meter" in groups:
        flac, flac_b = str(inputs["long_flac"]), str(inputs["long_flac_b"])
        g = {r.key: r for r in [
            Runner("ffmpeg_flac", "ffmpeg ebur128=peak=true, same FLAC", [ffmpeg_argv(flac)]),
            Runner("meter_flac", "sonorik_meter.measure, FLAC", [child_argv("meter_measure", flac)]),
            Runner("meter_wav", "sonorik_meter.measure, WAV", [child_argv("meter_measure", long_path)]),
            Runner("ours_analyze", "sonorik analyze_audio_all, same WAV",
                   [child_argv("ours_analyze", long_path)]),
            Runner("array_meter", "sonorik_meter.measure, array", [child_argv("array_meter", long_path)]),
            Runner("array_pyln", "pyloudnorm integrated_loudness, same array",
                   [child_argv("array_pyln", long_path)]),
            Runner("serial", "the two, one after the other", [child_argv("meter_serial", flac, flac_b)]),
            Runner("threads", "sonorik_meter.measure, two FLACs in two threads",
                   [child_argv("meter_threads", flac, flac_b)]),
        ]}
        run_group("sonorik_meter", list(g.values()), reps, poll)
        rows += [
            ("measure, FLAC 10 min, all measures", g["meter_flac"], g["ffmpeg_flac"], "wall", "<= 0.6", 0.6),
            ("measure, WAV 10 min", g["meter_wav"], g["ours_analyze"], "wall", "<= 1.0", 1.0),
            ("measure, float32 array 10 min, all measures", g["array_meter"], g["array_pyln"], "call",
             "< 1.0", 1.0),
            # measure() has no integrated-only mode: its one pass is held to the integrated target too
            ("measure, float32 array 10 min, integrated", g["array_meter"], g["array_pyln"], "call",
             "<= 0.25 (4x faster)", 0.25),
            ("measure, two FLACs 10 min", g["threads"], g["serial"], "call", "<= 0.6", 0.6),
        ]
        rep = {k: g[k].samples[-1].report for k in ("meter_flac", "meter_wav", "array_meter", "array_pyln")}
        ff = run_measured([ffmpeg_argv(flac, quiet=False)], 0.05, capture=True).output
        ff = ff[ff.rfind("Summary:"):]
        notes.append(
            "Readings, 10-minute file: sonorik_meter FLAC I {I:.2f} LUFS, TP {TP:.2f} dBTP, LRA {LRA:.2f} LU; "
            .format(**rep["meter_flac"]) + "WAV I {I:.2f}, TP {TP:.2f}, LRA {LRA:.2f}; ".format(**rep["meter_wav"]) +
            f"array I {rep['array_meter']['I']:.2f}; pyloudnorm I {rep['array_pyln']['I']:.2f}; ffmpeg " +
            " ".join(re.findall(r"(?:I|LRA|Peak):\s+(-?[\d.]+)", ff)) + " (I, LRA, TP)")
        hour = Runner("meter_hour", "sonorik_meter.measure, 1-hour FLAC",
                      [child_argv("meter_measure", str(inputs["hour_flac"]))])
        print("[sonorik_meter] one-hour FLAC", file=sys.stderr, flush=True)
        for _ in range(max(1, min(reps, 3))):
            hour.samples.append(run_measured(hour.argvs, 0.005))
        meter_memory = hour

    feed_lines: list[str] = []
    datasets_lines: list[str] = []
    if "datasets" in groups:
        sys.path.insert(0, str(HERE))
        import many_clips as dataset_bench
        rows_, datasets_lines = dataset_bench.bench(run_group, Runner, child_argv, OUT, reps, poll)
        rows += rows_
    if "feed" in groups:
        rows_, feed_lines = bench_feed(long_path, reps, poll)
        rows += rows_

    if "limit" in groups:
        rows_, limit_notes = bench_limit(inputs, reps, poll)
        rows += rows_
        notes += limit_notes

    memory_row = None
    if "memory" in groups:
        hour = str(inputs["hour"])
        r = Runner("ours_hour", "sonorik analyze_audio_all, 1 hour", [child_argv("ours_analyze", hour)])
        f = Runner("ffmpeg_hour", "ffmpeg ebur128=peak=true, 1 hour", [ffmpeg_argv(hour)])
        print("[memory] one-hour file", file=sys.stderr, flush=True)
        run_measured(r.argvs, 0.005)  # warm the page cache
        for _ in range(max(1, min(reps, 3))):
            r.samples.append(run_measured(r.argvs, 0.005))
        f.samples.append(run_measured(f.argvs, 0.005))
        memory_row = (r, f)

    if "tag" in groups:
        # Tagging an album (true peak, two jobs) against ffmpeg measuring the
        # same files one after the other; the tracks are copied first so that
        # the generated album stays untagged.
        folder = scratch / "tag_album"
        folder.mkdir(parents=True, exist_ok=True)
        copies = []
        for track in album_tracks():
            copy = folder / Path(track).name
            if not copy.exists() or copy.stat().st_size != Path(track).stat().st_size:
                shutil.copyfile(track, copy)
            copies.append(str(copy))
        g = {r.key: r for r in [
            Runner("tag", "sonorik tag --album --jobs 2",
                   [[PY, "-m", "sonorik_cli", "tag", "--album", "--jobs", "2", str(folder)]]),
            Runner("ffmpeg", "ffmpeg ebur128=peak=true, one file after the other",
                   [ffmpeg_argv(p) for p in copies]),
        ]}
        run_group("tag an album", list(g.values()), reps, poll)
        rows.append((f"sonorik tag --album, {ALBUM_TRACKS} x {ALBUM_TRACK_SECONDS // 60} min FLAC",
                     g["tag"], g["ffmpeg"], "wall", "<= 0.5", 0.5))

    if "plot" in groups:
        # Loudness over time: the graph of a one-hour file against the plain
        # measurement of the same file, both through the command.
        hour = str(inputs["hour"])
        cli = str(Path(PY).parent / "sonorik")
        g = {r.key: r for r in [
            Runner("plot", "sonorik plot", [[cli, "plot", hour, "-o", str(scratch / "hour.png")]]),
            Runner("analyze", "sonorik analyze", [[cli, "analyze", hour]]),
        ]}
        run_group("plot, one-hour file", list(g.values()), max(3, min(reps, 5)), poll)
        rows.append(("sonorik plot, 1 hour", g["plot"], g["analyze"], "wall", "< 2.0", 2.0))

    if "video" in groups:
        rows += bench_video(inputs, reps, poll)

    # ---- print ----
    print()
    print(f"Machine: {machine()}")
    print(f"Peers: {tool_versions()}")
    print(f"Input: stereo {RATE} Hz {BITS}-bit pink-ish noise with music-like level changes; "
          f"{reps} timed rounds per case after one warm-up, peers and ours alternating; medians.")
    print()
    print("| Case | Peer | Ours / peer (wall) | Target | Ours median | Peer median | "
          "CPU time ours / peer | Peak RssAnon ours / peer |")
    print("|---|---|---|---|---|---|---|---|")
    missed = []
    for case, ours, peer, basis, target, bound in rows:
        om, pm = ours.median(basis), peer.median(basis)
        ratio = om / pm
        verdict = ""
        if bound is not None:
            verdict = " met" if ratio <= bound else " **missed**"
            if ratio > bound:
                missed.append(f"{case} vs {peer.label}: {ratio:.2f} (target {target})")
        speed = f" ({pm / om:.1f}x faster)" if ratio < 1 else ""
        unit = " (in call)" if basis == "call" else ""
        cpu = ours.median_cpu() / peer.median_cpu()
        print(f"| {case} | {peer.label} | {ratio:.2f}{speed} | {target}{verdict} | {om:.3f} s{unit} | "
              f"{pm:.3f} s | {cpu:.2f} | {ours.peak_mib():.0f} / {peer.peak_mib():.0f} MiB |")
    if memory_row:
        r, f = memory_row
        peak = r.peak_mib()
        before = max(s.report.get("rss_before_kib", 0) for s in r.samples) / 1024.0
        verdict = "met" if peak < 64 else "**missed**"
        if peak >= 64:
            missed.append(f"peak RssAnon, 1 hour: {peak:.1f} MiB (target < 64 MiB)")
        print(f"| analyze_audio_all, 1 hour: peak RssAnon of the process | "
              f"{f.label} ({f.peak_mib():.1f} MiB) | — | < 64 MiB {verdict} | {peak:.1f} MiB "
              f"({before:.1f} MiB before the call) | — | — | {peak:.1f} / {f.peak_mib():.1f} MiB |")
    if meter_memory:
        growth = max((s.peak_anon_kib - s.report["rss_before_kib"]) / 1024.0 for s in meter_memory.samples)
        before = max(s.report["rss_before_kib"] for s in meter_memory.samples) / 1024.0
        verdict = "met" if growth < 64 else "**missed**"
        if growth >= 64:
            missed.append(f"RssAnon growth, measure on a 1-hour FLAC: {growth:.1f} MiB (target < 64 MiB)")
        print(f"| measure, 1-hour FLAC: peak RssAnon growth over the call | — | — | < 64 MiB {verdict} | "
              f"{growth:.1f} MiB ({before:.1f} MiB before the call, {meter_memory.median():.1f} s) | — | — | "
              f"{meter_memory.peak_mib():.0f} MiB |")
    for label, peak, before in meter_memory_rows:
        above = peak - before
        verdict = "met" if above < 64 else "**missed**"
        if above >= 64:
            missed.append(f"{label}: {above:.1f} MiB above the pre-call level (target < 64 MiB)")
        print(f"| {label}: peak RssAnon above the pre-call level | — | — | < 64 MiB {verdict} | "
              f"{above:.1f} MiB ({before:.1f} MiB before, {peak:.1f} MiB peak) | — | — | — |")
    for line in feed_lines:
        print(line)
    for line in datasets_lines:
        print(line)
        if "**missed**" in line:
            missed.append(line.split(" | ")[0].lstrip("| "))
    print()
    for n in notes:
        print(n)
    print("Ratios below 1 mean sonorik is faster. Times are whole-process wall times "
          "(interpreter start and import included) except where marked 'in call'. CPU time is "
          "user + system of the whole process tree (it does not depend on what else the machine "
          "is running; the wall time does).")
    if missed:
        print("Missed targets: " + "; ".join(missed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
