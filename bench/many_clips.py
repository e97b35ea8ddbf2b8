"""Benchmark rows for many short clips (run.py's "datasets" group): measure_many
on 2,000 speech-like clips against a measure() loop and pyloudnorm + soundfile,
bytes against paths, processes and a Dask LocalCluster against threads, the
per-file overhead and its floor, and memory over 100,000 in-memory clips."""

from __future__ import annotations

import glob
import io
import os
import time
import wave
from pathlib import Path

CLIP_RATE = 16000
CLIP_COUNT = 2000
CLIP_SECONDS = (0.2, 6.0)
MEMORY_CLIPS = 100_000
OVERHEAD_CALLS = 2000


def clip_bytes(seconds: float, state: int) -> bytes:
    """A speech-like clip: noise under a syllable-rate envelope, 16-bit WAV."""
    import numpy as np

    rng = np.random.default_rng(state)
    n = max(1, int(seconds * CLIP_RATE))
    t = np.arange(n) / CLIP_RATE
    envelope = np.clip(np.sin(2 * np.pi * rng.uniform(3, 6) * t), 0, None) ** 2
    x = rng.standard_normal(n) * envelope * 10 ** (rng.uniform(-30, -12) / 20)
    out = io.BytesIO()
    with wave.open(out, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(CLIP_RATE)
        w.writeframes((np.clip(x, -1, 1 - 2 ** -15) * 32768).astype("<i2").tobytes())
    return out.getvalue()


def prepare_clips(out: Path) -> Path:
    d = out / "clips16k"
    stamp = d / ".done"
    if stamp.exists():
        return d
    d.mkdir(parents=True, exist_ok=True)
    import numpy as np

    lengths = np.random.default_rng(16).uniform(*CLIP_SECONDS, CLIP_COUNT)
    for i, seconds in enumerate(lengths):
        (d / f"clip{i:04d}.wav").write_bytes(clip_bytes(float(seconds), i))
    stamp.write_text("1")
    return d


def child(task: str, args: list[str], report: dict) -> float:
    """Runs a timed task in the child process; returns when timing began."""
    import sonorik_meter

    files = sorted(glob.glob(os.path.join(args[0], "*.wav"))) if args else []
    if task == "many_threads":
        t0 = time.perf_counter()
        report["rows"] = sonorik_meter.measure_many(files, progress=False).num_rows
    elif task == "many_imported":  # pyarrow imported before timing, as the peer's modules are
        import pyarrow  # noqa: F401

        t0 = time.perf_counter()
        sonorik_meter.measure_many(files, progress=False)
    elif task == "many_processes":
        t0 = time.perf_counter()
        sonorik_meter.measure_many(files, pool="processes", progress=False)
    elif task == "many_bytes":
        data = [Path(f).read_bytes() for f in files]
        t0 = time.perf_counter()
        sonorik_meter.measure_many(data, progress=False)
    elif task == "many_loop":
        t0 = time.perf_counter()
        for f in files:
            sonorik_meter.measure(f)
    elif task == "many_pyln":
        import pyloudnorm
        import soundfile

        t0 = time.perf_counter()
        for f in files:
            data, rate = soundfile.read(f)
            try:
                pyloudnorm.Meter(rate).integrated_loudness(data)
            except ValueError:  # it refuses clips shorter than its 0.4 s block
                pass
    elif task == "many_dask":
        from dask.distributed import Client, LocalCluster

        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            client.run(lambda: __import__("sonorik_meter"))
            t0 = time.perf_counter()
            sonorik_meter.measure_many(files, client=client, progress=False)
            report["call_s"] = time.perf_counter() - t0
        return time.perf_counter() - report["call_s"]
    elif task == "many_overhead":  # one 10 ms clip measured, and its header read, many times
        data = clip_bytes(0.01, 1)
        path = os.path.join(args[1], "overhead.wav")
        Path(path).write_bytes(data)
        for call in (sonorik_meter.measure, sonorik_meter.info):
            start = time.perf_counter()
            for _ in range(OVERHEAD_CALLS):
                call(path)
            report[call.__name__ + "_us"] = (time.perf_counter() - start) / OVERHEAD_CALLS * 1e6
        t0 = time.perf_counter()
    elif task == "many_memory":  # in-memory clips from a generator, 0.2 s each
        templates = [clip_bytes(0.2, i) for i in range(16)]
        sonorik_meter.measure_many(templates, progress=False)  # pyarrow and the pool imported
        with open("/proc/self/status") as status:
            report["rss_before_kib"] = next(int(line.split()[1]) for line in status
                                            if line.startswith("RssAnon"))
        t0 = time.perf_counter()
        table = sonorik_meter.measure_many(
            (bytes(templates[i % 16]) for i in range(MEMORY_CLIPS)), progress=False)
        report["table_kib"] = table.nbytes / 1024
        report["rows"] = table.num_rows
    else:
        raise SystemExit(f"unknown task {task}")
    return t0


def bench(run_group, Runner, child_argv, out: Path, reps: int, poll: float):
    """(rows, lines) for run.py's table."""
    clips = str(prepare_clips(out))
    g = {r.key: r for r in [
        Runner("threads", f"measure_many, {CLIP_COUNT:,} clips (threads)",
               [child_argv("many_threads", clips)]),
        Runner("imported", "measure_many, pyarrow imported before the call",
               [child_argv("many_imported", clips)]),
        Runner("bytes", "measure_many, the same clips as bytes", [child_argv("many_bytes", clips)]),
        Runner("processes", "measure_many, pool=\"processes\"", [child_argv("many_processes", clips)]),
        Runner("dask", "measure_many on a Dask LocalCluster, 2 worker processes",
               [child_argv("many_dask", clips)]),
        Runner("loop", "a sonorik_meter.measure loop", [child_argv("many_loop", clips)]),
    ]}
    try:
        import pyloudnorm  # noqa: F401 - the peer, installed by `make bench`
        g["pyln"] = Runner("pyln", "pyloudnorm + soundfile loop, integrated only",
                           [child_argv("many_pyln", clips)])
    except ImportError:
        pass
    run_group(f"{CLIP_COUNT} clips", list(g.values()), reps, poll)
    case = f"measure_many, {CLIP_COUNT:,} clips 16 kHz mono 0.2-6 s WAV"
    rows = [(case, g["threads"], g["pyln"], "call", "<= 0.111 (9x faster)", 0.111),
            (case + ", pyarrow imported before the call (the peer's modules are imported "
             "before its timing)", g["imported"], g["pyln"], "call", "", None)] if "pyln" in g else []
    rows += [(case, g["threads"], g["loop"], "call", "", None),
            ("measure_many, bytes against paths", g["bytes"], g["threads"], "call", "<= 1.10", 1.10),
            ("measure_many, processes against threads", g["processes"], g["threads"], "call", "", None),
            ("measure_many, Dask LocalCluster against the process pool", g["dask"], g["processes"],
             "call", "", None)]
    best = g["threads"].median("call")
    lines = [f"| {case}: time in call | — | — | <= 0.5 s {'met' if best <= 0.5 else '**missed**'} | "
             f"{best:.3f} s | — | — | — |"]
    extra = {r.key: r for r in [
        Runner("overhead", "per-file overhead", [child_argv("many_overhead", clips, str(out))]),
        Runner("memory", f"{MEMORY_CLIPS:,} in-memory clips", [child_argv("many_memory")]),
    ]}
    run_group("per-file overhead and memory", list(extra.values()), 1, poll)
    o = extra["overhead"].samples[-1].report
    lines.append(f"| measure() of a 10 ms clip: per-file overhead | — | — | — | "
                 f"{o['measure_us']:.1f} us (floor: info(), open and headers alone, "
                 f"{o['info_us']:.1f} us) | — | — | — |")
    m = extra["memory"]
    growth = m.peak_mib() - (m.samples[-1].report["rss_before_kib"] +
                             m.samples[-1].report["table_kib"]) / 1024
    lines.append(f"| measure_many over {MEMORY_CLIPS:,} in-memory clips: peak RssAnon growth "
                 f"less the table | — | — | < 64 MiB {'met' if growth < 64 else '**missed**'} | "
                 f"{growth:.1f} MiB ({m.median('call'):.1f} s) | — | — | — |")
    return rows, lines
