"""Many sources measured or normalised at once, on a pool of workers or a Dask
cluster, into one table (sonorik_meter.measure_many and normalize_many).

Sources go to the workers in batches (a million sources make a few thousand
tasks), at most a few batches ahead of the results, so that a stream of
in-memory clips is never all held at once. Each row is made of plain values
in the worker, so that only small tuples come back. A source that fails gives
a row with its error instead of stopping the run.
"""

from __future__ import annotations

import collections
import functools
import importlib.util
import math
import os
import sys
from collections.abc import Callable, Iterable, Iterator
from typing import Any

# (column, Measurement attribute, pyarrow type name): the table's typed
# columns after "source" and "error". list_* are per channel.
MEASURE_COLUMNS = (
    ("format", "string"), ("rate_hz", "int64"), ("channels", "int64"), ("frames", "int64"),
    ("duration_s", "float64"), ("integrated_lufs", "float64"), ("momentary_max_lufs", "float64"),
    ("short_term_max_lufs", "float64"), ("loudness_range_lu", "float64"),
    ("loudness_range_low_lufs", "float64"), ("loudness_range_high_lufs", "float64"),
    ("absolute_gate_lufs", "float64"), ("relative_gate_lufs", "float64"),
    ("true_peak_dbtp", "float64"), ("sample_peak_dbfs", "float64"),
    ("rms_average_dbfs", "float64"), ("rms_max_dbfs", "float64"),
    ("channel_map", "list_string"), ("channel_integrated_lufs", "list_float64"),
    ("channel_true_peak_dbtp", "list_float64"), ("channel_sample_peak_dbfs", "list_float64"),
    ("channel_rms_average_dbfs", "list_float64"), ("channel_rms_max_dbfs", "list_float64"),
)
SERIES_COLUMNS = tuple((name, "list_float64") for name in (
    "series_time_s", "series_momentary_lufs", "series_short_term_lufs", "series_true_peak_dbtp"))

# The most sources in one task, and how many tasks each worker is given
# when the count is known.
MAX_BATCH = 512
TASKS_PER_WORKER = 16
UNSIZED_BATCH = 64
# Batches sent ahead of the results, per worker.
AHEAD = 4

TABLES_EXTRA = 'pip install "sonorik[tables]"'


def _pyarrow() -> Any:
    try:
        import pyarrow
    except ImportError as e:
        raise ImportError(f"measure_many and normalize_many return tables, which need pyarrow: "
                          f"{TABLES_EXTRA}") from e
    return pyarrow


def _label(source: Any, index: int) -> str:
    """How the table names a source: its path or URL, a {bytes, path} row's
    path, else its place in the sources."""
    if isinstance(source, dict) and source.get("path") is not None:
        return os.fsdecode(source["path"])
    if isinstance(source, str) or hasattr(source, "__fspath__"):
        return os.fsdecode(os.fspath(source))
    return f"sources[{index}]"


def _audio_of(source: Any) -> Any:
    """What measure() takes for a {bytes, path} row (its bytes when it has
    them), or the source itself."""
    if isinstance(source, dict):
        data = source.get("bytes")
        return data if data is not None else source.get("path")
    return source


def _error_text(e: BaseException) -> str:
    return f"{type(e).__name__}: {e}"


def _values(m: Any, options: dict[str, Any]) -> tuple[Any, ...]:
    """A measurement's row values after the label: (None, *MEASURE_COLUMNS[, series])."""
    columns = MEASURE_COLUMNS + (SERIES_COLUMNS if options.get("series") else ())
    out: list[Any] = [None]
    for name, kind in columns:
        value = getattr(m, name)
        out.append(list(value) if kind.startswith("list") and value is not None else value)
    return tuple(out)


def measure_row(source: Any, options: dict[str, Any]) -> tuple[Any, ...]:
    """One source's row after its label: (error, *MEASURE_COLUMNS[, series])."""
    import sonorik_meter

    try:
        m = sonorik_meter.measure(_audio_of(source), **options)
    except Exception as e:  # noqa: BLE001 - one bad source is one row's error
        columns = MEASURE_COLUMNS + (SERIES_COLUMNS if options.get("series") else ())
        return (_error_text(e),) + (None,) * len(columns)
    return _values(m, options)


def measure_batch(batch: list[tuple[int, Any]], options: dict[str, Any],
                  one_thread: bool = False) -> list[tuple[Any, ...]]:
    """The rows of a batch of (index, source): (label, error, values...).
    Files and bytes are measured side by side (the module's
    _measure_together, all on the calling thread with one_thread, where
    batches already run on every core); what it leaves, and every failure,
    by measure() itself, so that each row is exactly measure()'s."""
    import sonorik_meter

    together: list[Any] = [None] * len(batch)
    if set(options) <= {"channel_map", "series"}:
        try:
            together = sonorik_meter._measure_together(  # type: ignore[attr-defined]
                [_audio_of(s) for _, s in batch], **options, one_thread=one_thread)
        except Exception:  # noqa: BLE001 - each source is then measured alone
            pass
    return [(_label(s, i),) + (measure_row(s, options) if m is None else _values(m, options))
            for (i, s), m in zip(batch, together)]


def normalize_batch(batch: list[tuple[int, Any]], options: dict[str, Any]) -> list[dict[str, Any]]:
    """The report of each (index, (source, destination)) of a batch as a dict
    of plain values, with "source" and "error"."""
    import sonorik_meter

    out = []
    for i, (source, destination) in batch:
        row: dict[str, Any] = {"source": _label(source, i), "error": None}
        try:
            path = source.get("path") if isinstance(source, dict) else source
            report = sonorik_meter.normalize(path, destination, **options)
        except Exception as e:  # noqa: BLE001 - one bad source is one row's error
            row["error"] = _error_text(e)
        else:
            for name in dir(report):
                value = getattr(report, name)
                if not name.startswith("_") and name != "source" and (
                        value is None or isinstance(value, (str, int, float, bool))):
                    row[name] = value
        out.append(row)
    return out


def _batches(sources: Iterable[Any], size: int) -> Iterator[list[tuple[int, Any]]]:
    batch: list[tuple[int, Any]] = []
    for item in enumerate(sources):
        batch.append(item)
        if len(batch) == size:
            yield batch
            batch = []
    if batch:
        yield batch


def _in_order(submit: Callable[[list[tuple[int, Any]]], Any], result: Callable[[Any], list[Any]],
              batches: Iterator[list[tuple[int, Any]]], ahead: int) -> Iterator[list[Any]]:
    """Each batch's results in order, with at most `ahead` batches running."""
    running: collections.deque[Any] = collections.deque()
    for batch in batches:
        running.append(submit(batch))
        if len(running) >= ahead:
            yield result(running.popleft())
    while running:
        yield result(running.popleft())


def _run(work: Callable[..., list[Any]], sources: Iterable[Any], options: dict[str, Any], *,
         workers: int | None, client: Any, batch_size: int | None, pool: str,
         progress: bool | None) -> Iterator[list[Any]]:
    """The results of `work` over batches of the sources, batch by batch."""
    if isinstance(sources, (str, bytes, bytearray, memoryview)) or hasattr(sources, "__fspath__"):
        raise TypeError(f"sources must be an iterable of sources, got one {type(sources).__name__}")
    if pool not in ("threads", "processes"):
        raise ValueError(f'pool must be "threads" or "processes", got {pool!r}')
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int)
                                or workers < 1):
        raise ValueError(f"workers must be a positive int or None, got {workers!r}")
    try:
        count: int | None = len(sources)  # type: ignore[arg-type]
    except TypeError:
        count = None
    if client is not None:
        workers = workers or max(1, len(client.scheduler_info().get("workers", {})))
    workers = workers or os.cpu_count() or 1
    if batch_size is None:
        batch_size = (UNSIZED_BATCH if count is None else
                      max(1, min(MAX_BATCH, math.ceil(count / (workers * TASKS_PER_WORKER)))))
    elif isinstance(batch_size, bool) or not isinstance(batch_size, int) or batch_size < 1:
        raise ValueError(f"batch_size must be a positive int or None, got {batch_size!r}")
    shown = sys.stderr.isatty() if progress is None else bool(progress)
    bar: Any = None
    if shown:  # tqdm's import costs as much as measuring a hundred clips
        from tqdm.auto import tqdm

        bar = tqdm(total=count, unit="source", file=sys.stderr)
    if work is measure_batch and workers > 1 and (count is None or count >= workers):
        # The batches keep every core busy: each is measured all on its own
        # thread, not also handed to the engine's pool (which a file alone
        # on a core still uses).
        work = functools.partial(measure_batch, one_thread=True)
    batches = _batches(sources, batch_size)
    try:
        for rows in _dispatch(work, batches, options, workers, client, pool):
            if bar is not None:
                bar.update(len(rows))
            yield rows
    finally:
        if bar is not None:
            bar.close()


def _dispatch(work: Callable[..., list[Any]], batches: Iterator[list[tuple[int, Any]]],
              options: dict[str, Any], workers: int, client: Any,
              pool: str) -> Iterator[list[Any]]:
    ahead = workers * AHEAD
    if client is not None:
        def submit(batch: list[tuple[int, Any]]) -> Any:
            return client.submit(work, batch, options, pure=False)

        def result(future: Any) -> list[Any]:
            rows = future.result()
            future.release()
            return rows

        yield from _in_order(submit, result, batches, ahead)
        return
    if workers == 1:
        for batch in batches:
            yield work(batch, options)
        return
    if pool == "threads":  # (the process pool's module alone takes 10 ms to import)
        from concurrent.futures import ThreadPoolExecutor

        executor: Any = ThreadPoolExecutor(max_workers=workers)
    else:
        import multiprocessing
        from concurrent.futures import ProcessPoolExecutor

        # spawn: the engine's thread pool must not be inherited through fork.
        executor = ProcessPoolExecutor(max_workers=workers,
                                       mp_context=multiprocessing.get_context("spawn"))
    with executor:
        yield from _in_order(lambda b: executor.submit(work, b, options),
                             lambda f: f.result(), batches, ahead)


def utf8_text(value: str) -> str:
    """`value` as text an Arrow string can hold. A file name that is not
    UTF-8 (its bytes kept as surrogates by os.fsdecode) shows them as \\xNN
    escapes, so that one such file cannot fail a whole table."""
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        try:
            value = os.fsencode(value).decode("utf-8", "backslashreplace")
        except UnicodeEncodeError:
            pass
        return value.encode("utf-8", "backslashreplace").decode("utf-8")
    return value


def _arrow_array(pa: Any, values: list[Any], kind: str) -> Any:
    """An Arrow array of `kind` (string, int64, float64, list_...) from Python
    values, None as null. Built from its buffers: pyarrow's converter from
    Python objects imports pandas where it is installed, a fifth of a second
    on the first table of a process."""
    import numpy as np

    n = len(values)
    valid = np.fromiter((v is not None for v in values), dtype=bool, count=n)
    bitmap = None if valid.all() else pa.py_buffer(np.packbits(valid, bitorder="little"))
    if kind == "string" or kind.startswith("list_"):
        if kind == "string":
            items: Any = [b"" if v is None else utf8_text(v).encode() for v in values]
        else:
            items = [() if v is None else v for v in values]
        offsets = np.zeros(n + 1, dtype=np.int64)
        np.cumsum(np.fromiter(map(len, items), dtype=np.int64, count=n), out=offsets[1:])
        if offsets[-1] > np.iinfo(np.int32).max:  # past 32-bit offsets: the slow road
            return pa.array(values, type=pa.list_(getattr(pa, kind[5:])()) if kind != "string"
                            else pa.string())
        buffers = [bitmap, pa.py_buffer(offsets.astype(np.int32))]
        if kind == "string":
            return pa.Array.from_buffers(pa.string(), n, buffers + [pa.py_buffer(b"".join(items))])
        child = _arrow_array(pa, [x for v in items for x in v], kind[5:])
        return pa.Array.from_buffers(pa.list_(child.type), n, buffers, children=[child])
    dtype = np.float64 if kind == "float64" else np.int64
    data = np.fromiter((0 if v is None else v for v in values), dtype=dtype, count=n)
    return pa.Array.from_buffers(getattr(pa, kind)(), n, [bitmap, pa.py_buffer(data)])


class _TableBuilder:
    """Rows gathered into Arrow record batches as they come, so that only a
    few thousand rows are ever held as Python objects."""

    ROWS_PER_BATCH = 4096

    def __init__(self, types: dict[str, str]) -> None:
        self.types = types
        self.kinds = list(types.values())
        self.pa: Any = None
        self.schema: Any = None
        self.batches: list[Any] = []
        self.rows: list[tuple[Any, ...]] = []

    def _start(self) -> None:
        if self.pa is not None:
            return
        # pyarrow is imported once rows are in (for a few thousand sources, all
        # of them): its import, and numpy's threads that spin a while after
        # it, would take from the measuring as much as they give by overlap.
        pa = self.pa = _pyarrow()

        def arrow_type(kind: str) -> Any:
            return pa.list_(arrow_type(kind[5:])) if kind.startswith("list_") else getattr(pa, kind)()

        self.schema = pa.schema([(name, arrow_type(kind)) for name, kind in self.types.items()])

    def add(self, rows: list[tuple[Any, ...]]) -> None:
        self.rows.extend(rows)
        if len(self.rows) >= self.ROWS_PER_BATCH:
            self._flush()

    def _flush(self) -> None:
        self._start()
        if self.rows:
            columns = zip(*self.rows)
            self.batches.append(self.pa.record_batch(
                [_arrow_array(self.pa, list(c), kind)
                 for c, kind in zip(columns, self.kinds)], schema=self.schema))
            self.rows = []

    def table(self, output: str) -> Any:
        self._flush()
        table = self.pa.Table.from_batches(self.batches, schema=self.schema)
        return table.to_pandas() if output == "pandas" else table


def _installed(name: str) -> bool:
    try:
        return importlib.util.find_spec(name) is not None
    except (ImportError, ValueError):  # ValueError: a module set to None in sys.modules
        return False


def _check_output(output: str, *, import_now: bool = True) -> None:
    """Refuses an unknown output and a missing extra before any work; with
    import_now false, pyarrow is only looked for (measure_many imports it
    once rows are in)."""
    if output not in ("arrow", "pandas"):
        raise ValueError(f'output must be "arrow" or "pandas", got {output!r}')
    if import_now or not _installed("pyarrow"):
        _pyarrow()
    if output == "pandas" and not _installed("pandas"):
        raise ImportError(f"output=\"pandas\" needs pandas: {TABLES_EXTRA}")


def measure_many(sources: Iterable[Any], *, rate: int | None = None,
                 channel_map: Any = None, series: bool = False, stream: int | None = None,
                 workers: int | None = None,
                 client: Any = None, batch_size: int | None = None, pool: str = "threads",
                 progress: bool | None = None, output: str = "arrow") -> Any:
    _check_output(output, import_now=False)
    options: dict[str, Any] = {"channel_map": channel_map, "series": series}
    if rate is not None:
        options["rate"] = rate
    if stream is not None:
        options["stream"] = stream
    kinds = MEASURE_COLUMNS + (SERIES_COLUMNS if series else ())
    builder = _TableBuilder({"source": "string", "error": "string", **dict(kinds)})
    for rows in _run(measure_batch, sources, options, workers=workers, client=client,
                     batch_size=batch_size, pool=pool, progress=progress):
        builder.add(rows)
    return builder.table(output)


def normalize_many(sources: Iterable[Any], destinations: Iterable[Any], *, target: float,
                   measure: str = "integrated", ceiling: float = -1.0, range: Any = None,
                   format: str | None = None, rate: int | None = None, limit: bool = False,
                   workers: int | None = None, client: Any = None,
                   batch_size: int | None = None, pool: str = "threads",
                   progress: bool | None = None, output: str = "arrow") -> Any:
    _check_output(output)
    options = {"target": target, "measure": measure, "ceiling": ceiling, "range": range,
               "format": format, "rate": rate, "limit": limit}
    pairs = _Pairs(sources, destinations)
    rows: list[dict[str, Any]] = []
    for part in _run(normalize_batch, pairs, options, workers=workers, client=client,
                     batch_size=batch_size, pool=pool, progress=progress):
        rows.extend(part)
    pa = _pyarrow()
    names: dict[str, None] = {"source": None, "error": None}
    for row in rows:
        names.update(dict.fromkeys(row))
    table = pa.table({n: pa.array([utf8_text(v) if isinstance(v, str) else v
                                   for v in (r.get(n) for r in rows)],
                                  type=pa.string() if n in ("source", "error") else None)
                      for n in names})
    return table.to_pandas() if output == "pandas" else table


class _Pairs:
    """(source, destination) pairs, sized when both are."""

    def __init__(self, sources: Iterable[Any], destinations: Iterable[Any]) -> None:
        for what, v in (("sources", sources), ("destinations", destinations)):
            if isinstance(v, (str, bytes)) or hasattr(v, "__fspath__"):
                raise TypeError(f"{what} must be an iterable, got one {type(v).__name__}")
        self.sources, self.destinations = sources, destinations

    def __iter__(self) -> Iterator[tuple[Any, Any]]:
        missing = object()
        s, d = iter(self.sources), iter(self.destinations)
        while True:
            a, b = next(s, missing), next(d, missing)
            if a is missing and b is missing:
                return
            if a is missing or b is missing:
                raise ValueError("sources and destinations differ in length")
            yield a, b

    def __len__(self) -> int:
        return len(self.sources)  # type: ignore[arg-type]
