"""Measures a large archive of WAV files on one machine or on a Dask cluster
and writes one JSON line of plain results per file.

    # every core of this machine
    python examples/scale_out.py archive/ -o loudness.jsonl
    # a throwaway Dask cluster on this machine (its dashboard shows progress)
    python examples/scale_out.py archive/ -o loudness.jsonl --dask local --workers 4
    # an existing Dask cluster; every worker needs sonorik installed and the
    # files at the same paths (a shared or network file system)
    python examples/scale_out.py /mnt/archive -o loudness.jsonl --dask tcp://scheduler:8786

Each result is a dict of plain values (str, int, float, None), so it pickles
cheaply and goes straight into JSON, a DataFrame or a database. A file that
cannot be measured gives {"path": ..., "error": message} instead of stopping
the run. Files are sent to workers in batches, so that a million files make a
few thousand tasks rather than a million.
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import os
import sys
from collections.abc import Iterator
from concurrent.futures import ProcessPoolExecutor
from typing import Any

import sonorik

BATCH = 64


def measure(path: str) -> dict[str, Any]:
    """Every measure of one file as a plain dict."""
    try:
        info, results = sonorik.analyze_audio_all(path)
    except (OSError, RuntimeError) as e:
        return {"path": path, "error": str(e)}
    return {
        "path": path,
        "sample_rate": info.sample_rate,
        "channels": info.channels,
        "sample_format": info.sample_format,
        "duration_seconds": info.duration_seconds,
        "integrated_loudness": results.integrated_loudness,
        "short_term_loudness": results.short_term_loudness,
        "momentary_loudness": results.momentary_loudness,
        "loudness_range": results.loudness_range,
        "true_peak": results.true_peak,
        "rms_max": results.rms_max,
        "rms_average": results.rms_average,
    }


def measure_batch(paths: list[str]) -> list[dict[str, Any]]:
    return [measure(p) for p in paths]


def batches(paths: list[str], size: int = BATCH) -> list[list[str]]:
    return [paths[i:i + size] for i in range(0, len(paths), size)]


def with_process_pool(paths: list[str], workers: int | None = None) -> Iterator[dict[str, Any]]:
    """Results in input order from worker processes on this machine. The
    workers are started with spawn: the library's thread pool must not be
    inherited through fork."""
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=workers, mp_context=context) as pool:
        for batch in pool.map(measure_batch, batches(paths)):
            yield from batch


def with_dask(paths: list[str], address: str, workers: int | None = None) -> Iterator[dict[str, Any]]:
    """Results in input order from a Dask cluster: `address` is a scheduler
    address, or "local" for a cluster of `workers` processes on this machine."""
    from dask.distributed import Client, LocalCluster

    if address == "local":
        cluster = LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                               processes=True)
        client = Client(cluster)
    else:
        cluster, client = None, Client(address)
    try:
        futures = client.map(measure_batch, batches(paths), pure=False)
        for future in futures:  # in submission order; workers run ahead
            yield from future.result()
            future.release()
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("paths", nargs="+", help="audio files or directories")
    parser.add_argument("-o", "--output", required=True, help="JSON lines file to write")
    parser.add_argument("--dask", metavar="ADDRESS",
                        help='scheduler address, or "local" for a cluster on this machine')
    parser.add_argument("--workers", type=int, help="worker processes (default: one per core)")
    args = parser.parse_args(argv)

    files: list[str] = []
    for path in args.paths:
        files.extend(sonorik.find_audio_files(path))
    results = (with_dask(files, args.dask, args.workers) if args.dask
               else with_process_pool(files, args.workers))
    failed = 0
    with open(args.output, "w", encoding="utf-8") as out:
        for record in results:
            failed += "error" in record
            out.write(json.dumps(record) + "\n")
    print(f"{len(files)} files, {failed} failed -> {args.output}", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
