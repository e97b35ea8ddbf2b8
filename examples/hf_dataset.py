"""Measures a Hugging Face-style audio dataset, whose rows hold each clip as
{"bytes": <the encoded file>, "path": <its name>}, with datasets.map(batched=True),
adding a column per measure. The bytes are measured in place: no file is
written and nothing is decoded in Python.

    python examples/hf_dataset.py some/dataset --split train --column audio

measure_batch() is the function datasets.map calls; it takes and returns plain
column dicts, so it works as well on rows read from Parquet or built by hand.
A clip that cannot be measured gets None values and its error in
"loudness_error"; a clip too short for a measure gets None for it (-inf for
digital silence), as sonorik_meter.measure() gives them. Needs pyarrow
(pip install "sonorik[tables]") and, to load a dataset, the datasets package.
"""

from __future__ import annotations

import argparse
import sys
from typing import Any

import sonorik_meter

# The measures added to each row: dataset column -> measure_many column.
COLUMNS = {
    "integrated_lufs": "integrated_lufs",
    "loudness_range_lu": "loudness_range_lu",
    "true_peak_dbtp": "true_peak_dbtp",
    "sample_peak_dbfs": "sample_peak_dbfs",
    "duration_s": "duration_s",
    "loudness_error": "error",
}


def measure_batch(batch: dict[str, list[Any]], column: str = "audio",
                  workers: int | None = None) -> dict[str, list[Any]]:
    """The measures of a batch of rows whose `column` holds {bytes, path} dicts
    (or paths), as new columns. Runs measure_many in this process: datasets.map
    gives the parallelism through num_proc; `workers` adds threads."""
    table = sonorik_meter.measure_many(batch[column], workers=workers or 1, progress=False)
    return {name: table.column(source).to_pylist() for name, source in COLUMNS.items()}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("dataset", help="a dataset name or directory datasets.load_dataset takes")
    parser.add_argument("--split", default="train")
    parser.add_argument("--column", default="audio", help="the audio column")
    parser.add_argument("--num-proc", type=int, default=None, help="datasets.map processes")
    args = parser.parse_args(argv)

    import datasets

    ds = datasets.load_dataset(args.dataset, split=args.split)
    # decode=False keeps the {bytes, path} rows instead of decoded arrays.
    ds = ds.cast_column(args.column, datasets.Audio(decode=False))
    ds = ds.map(measure_batch, batched=True, batch_size=256, num_proc=args.num_proc,
                fn_kwargs={"column": args.column})
    failed = sum(e is not None for e in ds["loudness_error"])
    print(ds.select_columns(list(COLUMNS)).to_pandas().describe(), file=sys.stderr)
    print(f"{len(ds)} clips, {failed} failed", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
