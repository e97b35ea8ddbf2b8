"""The one writer of the command's reports (analyze, analyze --series and
normalize --format json): records, each a dict of the same fields in the same
order, written as CSV or TSV lines, JSON lines or one XML element a line.

Every value is written by the same rule in every format:
- None (a value that is not defined) and NaN: an empty CSV/TSV cell, null in
  JSON, the attribute left out in XML;
- infinity: the text "inf" or "-inf" (in JSON a string, "-inf", as JSON has
  no infinity);
- any other number at full precision (Python's shortest round-trip form).
"""

from __future__ import annotations

import csv
import html
import io
import json
import math
import os
import sys
from collections.abc import Sequence
from typing import Any

FORMATS = ("csv", "tsv", "json", "xml")

Record = dict[str, Any]


def _value(value: Any) -> Any:
    """A record value as every report holds it: None for an undefined one,
    the text "inf" / "-inf" for an infinity, anything else as it is."""
    if isinstance(value, float) and not math.isfinite(value):
        return None if math.isnan(value) else str(value)
    return value


def _xml_attribute(text: str) -> str:
    """`text` quoted as an XML attribute value, line breaks and tabs kept."""
    escaped = html.escape(text, quote=True)
    return '"' + escaped.replace("\n", "&#10;").replace("\r", "&#13;").replace("\t", "&#9;") + '"'


def report_text(fmt: str, records: Sequence[Record], header: bool) -> str:
    """`records` in the format `fmt` (one of FORMATS): CSV/TSV lines (the
    header line first if `header`), JSON lines, or one XML element per
    record."""
    rows = [{k: _value(v) for k, v in r.items()} for r in records]
    if fmt in ("csv", "tsv"):
        buf = io.StringIO()
        writer = csv.writer(buf, delimiter="," if fmt == "csv" else "\t", lineterminator="\n")
        if header and rows:
            writer.writerow(rows[0].keys())
        for row in rows:
            writer.writerow(["" if v is None else v for v in row.values()])
        return buf.getvalue()
    if fmt == "json":
        return "".join(json.dumps(row) + "\n" for row in rows)
    if fmt == "xml":
        return "".join("<measurement " + " ".join(f"{k}={_xml_attribute(str(v))}"
                                                  for k, v in row.items() if v is not None) + "/>\n"
                       for row in rows)
    raise ValueError(f"not a report format: {fmt!r}")


def write_report(fmt: str, records: Sequence[Record], output: str | None) -> None:
    """`records` to standard output (flushed; `output` None or "-"), or
    appended to the file `output`, its directories created, a CSV/TSV header
    line only when the file is new or empty. Raises OSError."""
    if output is None or output == "-":
        sys.stdout.write(report_text(fmt, records, header=True))
        sys.stdout.flush()
        return
    parent = os.path.dirname(output)
    if parent:
        os.makedirs(parent, exist_ok=True)
    with open(output, "a", encoding="utf-8", newline="") as f:
        f.write(report_text(fmt, records, header=f.tell() == 0))
