"""Loudness over time as a picture: momentary and short-term loudness against
time, the integrated loudness, an optional target with its tolerance band,
the loudness range as a band, and the steps where the true peak passes a
ceiling. The drawing behind `sonorik_meter.plot` (which imports this module on
its first call) and so behind `sonorik plot`; installed beside the extension
modules.

Needs matplotlib (pip install "sonorik[plot]"), imported by `plot` when it
is first called. Drawing uses a Figure of its own (no pyplot, no global
state), so it works in threads and without a display. Curves are reduced to
one point per pixel column, the column's maximum, so a two-hour file draws as
fast as a short one; steps whose loudness is -inf or below GAP_BELOW_LUFS
(digital silence) or undefined (before the window is full) are drawn as gaps.
"""

from __future__ import annotations

import math
import os
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from sonorik_meter import Measurement

FloatArray = npt.NDArray[np.float64]

MOMENTARY_COLOUR = "#9ecae1"
SHORT_TERM_COLOUR = "#08519c"
INTEGRATED_COLOUR = "#d95f02"
TARGET_COLOUR = "#1b9e77"
OVER_COLOUR = "#e31a1c"
# Readings below this are drawn as gaps: far under the noise floor of any
# recording, they are digital silence, or the meter's filters ringing down
# to it in the 400 ms / 3 s after audio stops (-240 LUFS and falling).
GAP_BELOW_LUFS = -150.0


def column_maxima(time_s: FloatArray, values: FloatArray, columns: int) -> tuple[FloatArray, FloatArray]:
    """`values` reduced to at most about `columns` points, each the largest
    of its run of neighbours (NaN where the run holds no finite value), at
    the time of the run's middle. -inf becomes NaN, so silence is a gap."""
    v = np.where(np.isfinite(values), values, np.nan)
    n = len(v)
    if n <= 2 * max(columns, 1):
        return time_s, v
    starts = np.linspace(0, n, max(columns, 1) + 1).astype(np.int64)[:-1]
    ends = np.append(starts[1:], n)
    with np.errstate(invalid="ignore"):
        peaks = np.fmax.reduceat(v, starts)
    return time_s[(starts + ends - 1) // 2], peaks


def clock(seconds: float, _pos: object = None) -> str:
    """Axis label: m:ss, or h:mm:ss from one hour on."""
    s = int(round(max(seconds, 0.0)))
    h, rest = divmod(s, 3600)
    m, s = divmod(rest, 60)
    return f"{h}:{m:02d}:{s:02d}" if h else f"{m}:{s:02d}"


def _value(v: float | None, unit: str) -> str:
    if v is None or math.isnan(v):
        return "-"
    return f"{v:.1f} {unit}" if math.isfinite(v) else f"{v} {unit}"


def summary(m: Measurement) -> str:
    """The title's second line: the summary values with their units."""
    return (f"I {_value(m.integrated_lufs, 'LUFS')}   LRA {_value(m.loudness_range_lu, 'LU')}   "
            f"TP {_value(m.true_peak_dbtp, 'dBTP')}   M max {_value(m.momentary_max_lufs, 'LUFS')}   "
            f"S max {_value(m.short_term_max_lufs, 'LUFS')}")


def plot(measurement: Measurement, path_or_axes: str | os.PathLike[str] | Axes | None = None, *,
         name: str | None = None, target_lufs: float | None = None, tolerance_lu: float = 1.0,
         ceiling_dbtp: float = -1.0, width_px: int = 1200, height_px: int = 500,
         dpi: int = 100) -> Figure:
    """Draws `measurement` (from sonorik_meter.measure(..., series=True)).

    path_or_axes: None (a new figure), a path (a new figure saved there, PNG,
    SVG or PDF by the extension, width_px x height_px at `dpi`) or matplotlib
    Axes to draw on. Returns the figure. name: the title's first line (the
    file name). target_lufs: a target line with a band of +-tolerance_lu.
    ceiling_dbtp: steps whose true peak passes it are marked at the top.
    Raises ValueError for a measurement taken without series."""
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure
    from matplotlib.ticker import FuncFormatter, MaxNLocator

    t = measurement.series_time_s
    if t is None:
        raise ValueError("the measurement has no series: measure with series=True")
    if isinstance(path_or_axes, Axes):
        ax = path_or_axes
        parent = ax.figure
        figure = parent if isinstance(parent, Figure) else parent.figure
    else:
        figure = Figure(figsize=(width_px / dpi, height_px / dpi), dpi=dpi, layout="constrained")
        ax = figure.add_subplot()
    columns = max(100, int(ax.bbox.width))
    t = np.asarray(t, dtype=np.float64)
    momentary = np.asarray(measurement.series_momentary_lufs, dtype=np.float64)
    short_term = np.asarray(measurement.series_short_term_lufs, dtype=np.float64)

    shown: list[float] = []
    for gid, values, colour, width, label in (
            ("momentary", momentary, MOMENTARY_COLOUR, 0.8, "momentary (400 ms)"),
            ("short-term", short_term, SHORT_TERM_COLOUR, 1.6, "short-term (3 s)")):
        with np.errstate(invalid="ignore"):
            values = np.where(values > GAP_BELOW_LUFS, values, np.nan)
        x, y = column_maxima(t, values, columns)
        ax.plot(x, y, color=colour, linewidth=width, label=label, gid=gid)
        shown += [float(v) for v in (np.nanmin(y), np.nanmax(y))] if np.isfinite(y).any() else []

    low, high = measurement.loudness_range_low_lufs, measurement.loudness_range_high_lufs
    if low is not None and high is not None:
        ax.axhspan(low, high, color=SHORT_TERM_COLOUR, alpha=0.10, linewidth=0, gid="loudness-range",
                   label=f"loudness range {_value(measurement.loudness_range_lu, 'LU')}")
    integrated = measurement.integrated_lufs
    if math.isfinite(integrated):
        ax.axhline(integrated, color=INTEGRATED_COLOUR, linewidth=1.4, gid="integrated",
                   label=f"integrated {_value(integrated, 'LUFS')}")
        shown.append(integrated)
    if target_lufs is not None:
        ax.axhspan(target_lufs - tolerance_lu, target_lufs + tolerance_lu, color=TARGET_COLOUR,
                   alpha=0.12, linewidth=0, gid="target-band")
        ax.axhline(target_lufs, color=TARGET_COLOUR, linestyle="--", linewidth=1.2, gid="target",
                   label=f"target {target_lufs:.1f} ± {tolerance_lu:.1f} LUFS")
        shown += [target_lufs - tolerance_lu, target_lufs + tolerance_lu]

    peaks = measurement.series_true_peak_dbtp
    if peaks is not None:
        with np.errstate(invalid="ignore"):
            over = np.asarray(peaks, dtype=np.float64) > ceiling_dbtp
        x, flags = column_maxima(t, over.astype(np.float64), columns)
        marks = x[flags > 0]
        count = f"{int(over.sum())} x 100 ms" if over.any() else "none"
        ax.plot(marks, np.full(len(marks), 0.97), linestyle="none", marker="v", markersize=5,
                color=OVER_COLOUR, transform=ax.get_xaxis_transform(), gid="true-peak-overs",
                label=f"true peak > {ceiling_dbtp:.1f} dBTP: {count}")

    top = max(shown, default=-10.0) + 4.0
    bottom = max(min(shown, default=-60.0) - 4.0, top - 60.0)
    ax.set_ylim(bottom, top)
    ax.set_xlim(0.0, max(float(t[-1]) if len(t) else 0.0, 1.0))
    ax.xaxis.set_major_formatter(FuncFormatter(clock))
    ax.xaxis.set_major_locator(MaxNLocator(nbins=12, steps=[1, 2, 3, 5, 6, 10]))
    ax.set_xlabel("time (h:mm:ss)" if len(t) and t[-1] >= 3599.5 else "time (m:ss)")
    ax.set_ylabel("loudness (LUFS)")
    ax.grid(True, color="#dddddd", linewidth=0.6)
    ax.legend(loc="best", fontsize="small", ncol=2, framealpha=0.85)
    ax.set_title(f"{name}\n{summary(measurement)}" if name else summary(measurement), fontsize="medium")
    if path_or_axes is not None and not isinstance(path_or_axes, Axes):
        figure.savefig(os.fspath(path_or_axes), dpi=dpi)
    return figure
