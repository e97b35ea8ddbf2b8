// The doc strings of measure_many() and normalize_many() (module.cpp);
// python/sonorik_meter.pyi repeats them.
#pragma once

namespace sonorik::meter::doc {

// ---- measure_many() and normalize_many() ------------------------------------------------

inline constexpr const char* measure_many =
    R"(measure_many(sources, *, rate=None, channel_map=None, series=False, stream=None,
workers=None, client=None, batch_size=None, pool="threads", progress=None, output="arrow")

Measures every source as measure() does and returns one table: a pyarrow.Table
(output="pandas": a pandas.DataFrame) with one row per source, in order, and the
columns source (its path or URL, a {"bytes", "path"} row's path, else
"sources[i]"), error (None, or "OSError: ..." for a source that failed: one bad
source never stops the run), format, rate_hz, channels, frames, duration_s, every
level of Measurement in its unit (LUFS, LU, dBTP, dBFS; None where measure() gives
None, -inf for silence), channel_map and the per-channel levels as list columns,
and with series=True the series as list columns. Needs pyarrow (pip install
"sonorik[tables]").

sources: any iterable (a generator is read as the work goes, a few batches ahead)
of what measure() takes, or {"bytes": ..., "path": ...} rows as Hugging Face
datasets hold audio (the bytes are measured when present, else the path).
rate, channel_map, series, stream: as measure() takes them, for every source.
workers: how many run at once (default: one per core; 1: in this thread).
pool: "threads" (default: measure() runs without the interpreter lock, so
threads measure in parallel with no start-up or copying) or "processes" (spawned
worker processes; sources and rows are pickled).
client: a dask.distributed.Client: the batches run on its workers, which need
sonorik installed and the sources reachable there (shared paths, URLs, or bytes,
which are sent with the task).
batch_size: sources per task (default: enough tasks for 16 per worker, at most
512 sources each). progress: a tqdm bar on standard error (default: when it is a
terminal).)";

inline constexpr const char* normalize_many =
    R"(normalize_many(sources, destinations, *, target, measure="integrated", ceiling=-1.0,
range=None, format=None, rate=None, limit=False, workers=None, client=None,
batch_size=None, pool="threads", progress=None, output="arrow")

Normalises each source into the destination at the same place, as normalize()
does, and returns a table (pyarrow.Table or pandas.DataFrame) with one row per
source: source, error (None, or the failure as "Type: message"; one bad source
never stops the run) and every field of NormalizeReport. The pool, client,
batching and progress options are measure_many()'s.)";

}  // namespace sonorik::meter::doc
