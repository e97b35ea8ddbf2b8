"""The HTML QC report of `sonorik check --html`: one self-contained page (no
request leaves it: its own style and script inline, graphs as inline SVG,
a Content-Security-Policy that allows nothing else) with a summary, a table
of every file's verdict and values against the preset's limits (failed files
first; sortable, and filterable to the failures, by a small inline script),
and each file's loudness over time with the preset's band and true-peak
ceiling. Every text from outside (file names, messages, preset fields) is
escaped; it prints on paper without the controls."""

from __future__ import annotations

import datetime
import html
import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from sonorik_cli import terminal

# (criterion name, Measurement attribute, column heading, unit)
COLUMNS = (
    ("integrated", "integrated_lufs", "Integrated", "LUFS"),
    ("true_peak", "true_peak_dbtp", "True peak", "dBTP"),
    ("short_term_max", "short_term_max_lufs", "Short-term max", "LUFS"),
    ("momentary_max", "momentary_max_lufs", "Momentary max", "LUFS"),
    ("loudness_range", "loudness_range_lu", "Range", "LU"),
)
ORDER = {"FAIL": 0, "ERROR": 1, "PASS": 2}
WIDTH, HEIGHT = 760, 220
LEFT, RIGHT, TOP, BOTTOM = 44, 752, 8, 196
GAP_BELOW_LUFS = -150.0

STYLE = """
body{font:14px/1.4 system-ui,-apple-system,"Segoe UI",sans-serif;margin:1.5em auto;max-width:1100px;
color:#222;padding:0 1em}
h1{font-size:1.5em;margin:0 0 .3em}h2{font-size:1.1em;margin:.2em 0;word-break:break-all}
.summary{display:flex;flex-wrap:wrap;gap:.5em 1.5em;margin:.8em 0}.summary div{min-width:6em}
.summary dt{font-size:.8em;color:#666}.summary dd{margin:0;font-size:1.2em;font-weight:600}
.preset,.source{margin:.2em 0}.source{color:#555;font-size:.9em}
.controls{margin:1em 0;padding:.5em;background:#f3f3f3;border-radius:4px}
table{border-collapse:collapse;width:100%;font-size:.9em}
th,td{border-bottom:1px solid #ddd;padding:.3em .4em;text-align:right;vertical-align:top}
th:nth-child(2),td:nth-child(2),th:last-child,td:last-child{text-align:left}
td:nth-child(2){overflow-wrap:anywhere;min-width:14em}
th button{font:inherit;font-weight:600;background:none;border:0;cursor:pointer;padding:0;text-align:inherit}
th small{display:block;font-weight:400;color:#666}
th[aria-sort=ascending] button::after{content:" \\25B2"}th[aria-sort=descending] button::after{content:" \\25BC"}
.badge{display:inline-block;padding:0 .4em;border-radius:3px;font-weight:700;color:#fff;font-size:.85em}
.PASS .badge{background:#1a7f37}.FAIL .badge{background:#c62828}.ERROR .badge{background:#8a5a00}
td.bad,li.bad{color:#c62828;font-weight:600}
section.file{border-top:2px solid #ddd;margin-top:1.2em;padding-top:.5em}
section.file ul{margin:.3em 0;padding-left:1.2em}
svg{width:100%;height:auto;max-width:760px;display:block}
.legend span{margin-right:1em;white-space:nowrap}.legend i{display:inline-block;width:1.4em;height:.5em;
margin-right:.3em;vertical-align:middle}
footer{margin-top:2em;color:#666;font-size:.85em}#shown{margin-left:1em;color:#555}
@media print{.controls{display:none}body{max-width:none;margin:0;font-size:10pt}
section.file{break-inside:avoid}a{color:inherit;text-decoration:none}tr{break-inside:avoid}}
"""

SCRIPT = """
(function () {
  "use strict";
  var body = document.getElementById("files").tBodies[0];
  var only = document.getElementById("only-failures");
  var rank = {FAIL: 0, ERROR: 1, PASS: 2};
  var sorted = {key: null, dir: 1};
  function rows() { return Array.prototype.slice.call(body.rows); }
  function value(row, key, type) {
    var v = row.getAttribute("data-" + key);
    if (type === "number") { return v === "" ? NaN : Number(v); }
    if (type === "verdict") { return rank[v]; }
    return v;
  }
  function sortBy(th) {
    var key = th.getAttribute("data-key"), type = th.getAttribute("data-type");
    sorted.dir = sorted.key === key ? -sorted.dir : 1;
    sorted.key = key;
    var list = rows();
    list.sort(function (a, b) {
      var x = value(a, key, type), y = value(b, key, type);
      var xu = typeof x === "number" && isNaN(x), yu = typeof y === "number" && isNaN(y);
      if (xu || yu) { return xu === yu ? 0 : (xu ? 1 : -1); }
      if (type === "text") { return x.localeCompare(y) * sorted.dir; }
      return (x < y ? -1 : x > y ? 1 : 0) * sorted.dir;
    });
    list.forEach(function (r) { body.appendChild(r); });
    document.querySelectorAll("#files th[data-key]").forEach(function (h) {
      h.setAttribute("aria-sort", h === th ? (sorted.dir > 0 ? "ascending" : "descending") : "none");
    });
  }
  function filter() {
    var on = only.checked, shown = 0;
    rows().forEach(function (r) {
      r.hidden = on && r.getAttribute("data-verdict") === "PASS";
      shown += r.hidden ? 0 : 1;
    });
    document.querySelectorAll("section.file").forEach(function (s) {
      s.hidden = on && s.getAttribute("data-verdict") === "PASS";
    });
    document.getElementById("shown").textContent = shown + " of " + body.rows.length + " files shown";
  }
  document.querySelectorAll("#files th[data-key] button").forEach(function (b) {
    b.addEventListener("click", function () { sortBy(b.parentNode); });
  });
  only.addEventListener("change", filter);
  window.sonorikReport = {
    visibleFiles: function () {
      return rows().filter(function (r) { return !r.hidden; })
                   .map(function (r) { return r.getAttribute("data-file"); });
    }
  };
  filter();
})();
"""


@dataclass
class Entry:
    """One file of the report: its verdict (a sonorik_meter.CheckVerdict,
    None when it could not be measured), the error, and its fixed copy."""
    path: str
    verdict: Any
    error: str | None = None
    fixed: str | None = None
    fixed_verdict: Any = None

    @property
    def label(self) -> str:
        if self.verdict is None:
            return "ERROR"
        return "PASS" if self.verdict.passed else "FAIL"


def _e(text: str) -> str:
    """Text from outside made safe for HTML: unprintable characters and bytes
    that are not UTF-8 shown as escapes, then markup characters escaped."""
    return html.escape(terminal.shown(text), quote=True)


def _number(value: float | None) -> str:
    if value is None or math.isnan(value):
        return ""
    return "Infinity" if value == math.inf else "-Infinity" if value == -math.inf else repr(value)


def _shown(value: float | None) -> str:
    if value is None or math.isnan(value):
        return "-"
    return f"{value:.1f}" if math.isfinite(value) else ("-inf" if value < 0 else "inf")


def page(preset: Any, entries: Sequence[Entry], started: datetime.datetime, version: str) -> str:
    """The whole report page for `entries` checked against `preset` (a
    sonorik_meter.CheckPreset)."""
    ordered = sorted(entries, key=lambda e: ORDER[e.label])
    counts = {k: sum(e.label == k for e in entries) for k in ORDER}
    fixed = sum(e.fixed_verdict is not None and e.fixed_verdict.passed for e in entries)
    when = started.strftime("%Y-%m-%d %H:%M UTC")
    summary = "".join(f"<div><dt>{k}</dt><dd id=\"count-{k.split()[0].lower()}\">{v}</dd></div>"
                      for k, v in (("Files", len(entries)), ("Passed", counts["PASS"]),
                                   ("Failed", counts["FAIL"]), ("Not measured", counts["ERROR"]),
                                   ("Fixed", fixed)))
    summary += f"<div><dt>Checked</dt><dd>{_e(when)}</dd></div>"
    summary += f"<div><dt>Software</dt><dd>sonorik {_e(version)}</dd></div>"
    platform = preset.kind == "platform"
    heads = "".join(_heading(preset, key, title, unit) for key, _, title, unit in COLUMNS)
    if platform:
        heads += ('<th data-key="gain" data-type="number" aria-sort="none"><button type="button">'
                  "Platform gain</button><small>dB</small></th>")
    rows = "".join(_row(i, e, platform) for i, e in enumerate(ordered))
    sections = "".join(_section(i, e, preset) for i, e in enumerate(ordered))
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; img-src data:">
{MARK}
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Loudness QC report: {_e(preset.name)}</title><style>{STYLE}</style></head>
<body><header><h1>Loudness QC report</h1>
<p class="preset"><strong>{_e(preset.title)}</strong> ({_e(preset.name)}, {_e(preset.kind)}): {_e(preset.limits())}</p>
<p class="source">Source: {_e(preset.source)}. {_e(preset.clause)}</p>
<dl class="summary">{summary}</dl></header>
<main><div class="controls"><label><input type="checkbox" id="only-failures"> Show only the files that did not pass</label>
 <span id="shown"></span></div>
<table id="files"><thead><tr>
<th data-key="verdict" data-type="verdict" aria-sort="none"><button type="button">Verdict</button></th>
<th data-key="file" data-type="text" aria-sort="none"><button type="button">File</button></th>
{heads}<th>Missed</th></tr></thead>
<tbody>{rows}</tbody></table>
<p class="legend"><span><i style="background:#9ecae1"></i>momentary (400 ms)</span><span><i style="background:#08519c"></i>short-term (3 s)</span><span><i style="background:#f0a050"></i>true peak per 100 ms, dBTP</span><span><i style="background:#1b9e77;opacity:.35"></i>target band</span><span><i style="background:#e31a1c"></i>true-peak ceiling</span></p>
{sections}</main>
<footer>Written by sonorik {_e(version)} (sonorik check) on {_e(when)}. Loudness by ITU-R BS.1770 and EBU R 128; limits are inclusive and compared at full precision.</footer>
<script>{SCRIPT}</script></body></html>
"""


MARK = '<meta name="generator" content="sonorik check">'


def _limit_of(preset: Any, key: str) -> str:
    if key == "integrated" and preset.integrated_lufs is not None:
        if preset.kind == "platform":
            return f"plays at {preset.integrated_lufs:.1f}"
        return f"{preset.integrated_lufs - preset.tolerance_lu:.1f} .. {preset.integrated_lufs + preset.tolerance_lu:.1f}"
    field = {"true_peak": "true_peak_max_dbtp", "short_term_max": "short_term_max_lufs",
             "momentary_max": "momentary_max_lufs"}.get(key)
    value = getattr(preset, field) if field else None
    return f"&le; {value:.1f}" if value is not None else ""


def _heading(preset: Any, key: str, title: str, unit: str) -> str:
    limit = _limit_of(preset, key)
    return (f'<th data-key="{key}" data-type="number" aria-sort="none"><button type="button">'
            f"{title}</button><small>{unit}{' ' + limit if limit else ''}</small></th>")


def _row(i: int, e: Entry, platform: bool) -> str:
    v = e.verdict
    failed = {c.name for c in v.failures} if v is not None else set()
    if "true_peak_after_gain" in failed:
        failed.add("true_peak")
    cells, data = [], []
    for key, attribute, _, _ in COLUMNS:
        value = getattr(v.measurement, attribute) if v is not None else None
        bad = ' class="bad"' if key in failed else ""
        cells.append(f"<td{bad}>{_shown(value)}</td>")
        data.append(f'data-{key}="{_number(value)}"')
    if platform:
        gain = v.platform_gain_db if v is not None else None
        cells.append(f"<td>{'' if gain is None else f'{gain:+.1f}'}</td>")
        data.append(f'data-gain="{_number(gain)}"')
    if v is None:
        missed = _e(e.error or "")
    else:
        missed = "<br>".join(_e(c.describe()) for c in v.failures)
    if e.fixed_verdict is not None:
        after = "PASS" if e.fixed_verdict.passed else "FAIL"
        missed += f"<br>fixed into {_e(e.fixed or '')}: {after}"
    name = _e(e.path)
    return (f'<tr class="{e.label}" data-verdict="{e.label}" data-file="{name}" {" ".join(data)}>'
            f'<td><span class="badge">{e.label}</span></td><td><a href="#file-{i}">{name}</a></td>'
            f"{''.join(cells)}<td>{missed}</td></tr>")


def _section(i: int, e: Entry, preset: Any) -> str:
    v = e.verdict
    items = []
    if v is None:
        items.append(f'<li class="bad">not measured: {_e(e.error or "")}</li>')
    else:
        items += [f'<li class="{"" if c.passed else "bad"}">{"pass" if c.passed else "FAIL"}: '
                  f"{_e(c.describe())}</li>" for c in v.criteria]
        if v.platform_gain_db is not None:
            items.append(f"<li>the platform would apply {v.platform_gain_db:+.2f} dB</li>")
    if e.fixed_verdict is not None:
        after = "PASS" if e.fixed_verdict.passed else "FAIL"
        items.append(f"<li>fixed into {_e(e.fixed or '')}: {after}</li>")
    graph = _graph(v.measurement, preset, e.path) if v is not None else ""
    return (f'<section class="file {e.label}" id="file-{i}" data-verdict="{e.label}">'
            f'<h2><span class="badge">{e.label}</span> {_e(e.path)}</h2><ul>{"".join(items)}</ul>'
            f"{graph}</section>")


def _path(xs: Any, ys: Any, x_of: Any, y_of: Any) -> str:
    """An SVG path through the points, broken where a value is not finite."""
    parts, pen = [], "M"
    for x, y in zip(xs, ys):
        if not math.isfinite(y):
            pen = "M"
            continue
        parts.append(f"{pen}{x_of(x):.1f} {y_of(y):.1f}")
        pen = "L"
    return " ".join(parts)


def _graph(m: Any, preset: Any, name: str) -> str:
    """Momentary, short-term and per-step true peak against time, with the
    preset's band and ceiling; empty when the measurement has no series."""
    if m.series_time_s is None or len(m.series_time_s) == 0:
        return ""
    import numpy as np

    from _sonorik_plot import clock, column_maxima  # type: ignore[import-untyped,import-not-found,unused-ignore]

    t = np.asarray(m.series_time_s, dtype=np.float64)
    curves = []
    for series, colour, width in ((m.series_momentary_lufs, "#9ecae1", 1.0),
                                  (m.series_short_term_lufs, "#08519c", 1.6),
                                  (m.series_true_peak_dbtp, "#f0a050", 0.8)):
        values = np.asarray(series, dtype=np.float64)
        with np.errstate(invalid="ignore"):
            values = np.where(values > GAP_BELOW_LUFS, values, np.nan)
        curves.append((*column_maxima(t, values, RIGHT - LEFT), colour, width))
    marks = [float(v) for _, y, *_ in curves if np.isfinite(y).any()
             for v in (np.nanmin(y), np.nanmax(y))]
    if preset.integrated_lufs is not None:
        marks += [preset.integrated_lufs - preset.tolerance_lu, preset.integrated_lufs + preset.tolerance_lu]
    if preset.true_peak_max_dbtp is not None:
        marks.append(preset.true_peak_max_dbtp)
    top = math.ceil((max(marks, default=0.0) + 2.0) / 5.0) * 5.0
    bottom = max(math.floor((min(marks, default=-60.0) - 2.0) / 5.0) * 5.0, top - 70.0)
    span_s = max(float(t[-1]), 1.0)

    def x_of(x: float) -> float:
        return LEFT + (RIGHT - LEFT) * x / span_s

    def y_of(y: float) -> float:
        y = min(max(y, bottom), top)
        return TOP + (BOTTOM - TOP) * (top - y) / (top - bottom)

    out = [f'<svg viewBox="0 0 {WIDTH} {HEIGHT}" role="img" xmlns="http://www.w3.org/2000/svg">'
           f"<title>Loudness over time: {_e(name)}</title>",
           f'<rect x="{LEFT}" y="{TOP}" width="{RIGHT - LEFT}" height="{BOTTOM - TOP}" fill="#fafafa" stroke="#ccc"/>']
    step = 10.0 if top - bottom > 30 else 5.0
    level = top
    while level >= bottom:
        y = y_of(level)
        out.append(f'<line x1="{LEFT}" x2="{RIGHT}" y1="{y:.1f}" y2="{y:.1f}" stroke="#e4e4e4"/>'
                   f'<text x="{LEFT - 4}" y="{y + 4:.1f}" font-size="10" text-anchor="end">{level:g}</text>')
        level -= step
    for k in range(7):
        anchor = "start" if k == 0 else "end" if k == 6 else "middle"
        out.append(f'<text x="{x_of(span_s * k / 6):.1f}" y="{HEIGHT - 10}" font-size="10" '
                   f'text-anchor="{anchor}">{clock(span_s * k / 6)}</text>')
    if preset.integrated_lufs is not None:
        low, high = preset.integrated_lufs - preset.tolerance_lu, preset.integrated_lufs + preset.tolerance_lu
        out.append(f'<rect class="target-band" x="{LEFT}" width="{RIGHT - LEFT}" y="{y_of(high):.1f}" '
                   f'height="{max(y_of(low) - y_of(high), 1.0):.1f}" fill="#1b9e77" fill-opacity="0.25"/>')
    for times, values, colour, width in curves:
        out.append(f'<path d="{_path(times, values, x_of, y_of)}" fill="none" stroke="{colour}" '
                   f'stroke-width="{width}"/>')
    if preset.true_peak_max_dbtp is not None:
        y = y_of(preset.true_peak_max_dbtp)
        out.append(f'<line class="ceiling" x1="{LEFT}" x2="{RIGHT}" y1="{y:.1f}" y2="{y:.1f}" '
                   f'stroke="#e31a1c" stroke-dasharray="6 3" stroke-width="1.2"/>')
    out.append("</svg>")
    return "".join(out)
