"""Measures a large archive of audio files on this machine or on a Dask cluster
into one Parquet table, one row per file (sonorik_meter.measure_many).

    # every core of this machine
    python examples/scale_out.py archive/ -o loudness.parquet
    # a throwaway Dask cluster of worker processes on this machine
    python examples/scale_out.py archive/ -o loudness.parquet --dask local --workers 4
    # an existing Dask cluster; every worker needs sonorik installed and the
    # files at the same paths (a shared or network file system)
    python examples/scale_out.py /mnt/archive -o loudness.parquet --dask tcp://scheduler:8786

A file that cannot be measured gives a row whose "error" column says why
instead of stopping the run. Files go to the workers in batches, so that a
million files make a few thousand tasks rather than a million. Needs pyarrow
(pip install "sonorik[tables]") and, for --dask, dask.distributed
(pip install "sonorik[scale-out]"). The same from the shell:
sonorik analyze --scheduler tcp://scheduler:8786 --format parquet -o out.parquet DIR.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from collections.abc import Iterator
from typing import Any

import sonorik_meter


@contextlib.contextmanager
def dask_client(address: str | None, workers: int | None) -> Iterator[Any]:
    """None without `address`; else a Client of the scheduler at `address`,
    or of a cluster of `workers` processes on this machine for "local"."""
    if address is None:
        yield None
        return
    from dask.distributed import Client, LocalCluster

    if address == "local":
        with LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                          processes=True) as cluster, Client(cluster) as client:
            yield client
    else:
        with Client(address) as client:
            yield client


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("paths", nargs="+", help="audio files or directories")
    parser.add_argument("-o", "--output", required=True, help="Parquet file to write")
    parser.add_argument("--dask", metavar="ADDRESS",
                        help='scheduler address, or "local" for a cluster on this machine')
    parser.add_argument("--workers", type=int, help="workers (default: one per core)")
    args = parser.parse_args(argv)

    import pyarrow.parquet

    files: list[str] = []
    for path in args.paths:
        files.extend(sonorik_meter.find_audio_files(path) if os.path.isdir(path) else [path])
    with dask_client(args.dask, args.workers) as client:
        table = sonorik_meter.measure_many(files, client=client,
                                           workers=None if client else args.workers)
    pyarrow.parquet.write_table(table, args.output)
    failed = table.num_rows - table.column("error").null_count
    print(f"{len(files)} files, {failed} failed -> {args.output}", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
