"""The one writer of the command's reports (analyze, analyze --series and
normalize --format json): records, each a dict of the same fields in the same
order, written as CSV or TSV lines, JSON lines or one XML element a line.

Every value is written by the same rule in every format:
- None (a value that is not defined) and NaN: an empty CSV/TSV cell, null in
  JSON, the attribute left out in XML;
- infinity: the text "inf" or "-inf" (in JSON a string, "-inf", as JSON has
  no infinity);
- any other number at full precision (Python's shortest round-trip form);
- text (file names) exactly, except what a format cannot hold: in CSV, TSV
  and XML a byte of a name that is not UTF-8 is written \\xNN (two lower-case
  hex digits), and in XML so is a control character XML 1.0 has no place
  for (U+0000-U+001F other than tab, line feed and carriage return; U+FFFE,
  U+FFFF as \\ufffe, \\uffff); JSON writes such a byte as the escape \\udcNN,
  which Python's json module reads back to the name os.fsencode turns into
  the original bytes. With safe_csv a CSV/TSV text cell that begins with
  = + - @ tab, carriage return or ' gets a ' in front, so that a spreadsheet
  does not take it for a formula (remove one leading ' to read the name).

A report file is never written in place: the new report goes to a temporary
file beside it, which then replaces it, so an interrupted run leaves the old
file or the whole new one. An existing file is replaced (or, with append,
added to) only when it holds a report of the same format and columns (or
nothing at all); anything else is refused and left as it is.
"""

from __future__ import annotations

import contextlib
import csv
import html
import importlib
import io
import json
import math
import os
import re
import stat
import sys
import tempfile
import xml.etree.ElementTree as ET
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

from sonorik_cli import terminal

FORMATS = ("csv", "tsv", "json", "xml")

Record = dict[str, Any]

NOT_TEXT = ("exists and is not a report (it does not hold text): left as it is "
            "(choose another --output)")

_RISKY_START = ("=", "+", "-", "@", "\t", "\r", "'")
_SURROGATE = re.compile("[\ud800-\udfff]")
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")


class Refused(Exception):
    """An existing file the report may not replace, with the reason."""

    def __init__(self, path: str, message: str) -> None:
        super().__init__(message)
        self.path = path
        self.message = message


def _escaped(c: str) -> str:
    code = ord(c)
    if 0xDC80 <= code <= 0xDCFF:  # a byte that is not UTF-8, as os.fsdecode keeps it
        return f"\\x{code - 0xDC00:02x}"
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def _text(value: str, fmt: str, safe_csv: bool) -> str:
    """A text value as the format `fmt` holds it (see the module's doc)."""
    if fmt == "json":
        return value  # the json module escapes what JSON text cannot hold
    if fmt == "xml":
        return _NOT_XML.sub(lambda m: _escaped(m.group()), value)
    value = _SURROGATE.sub(lambda m: _escaped(m.group()), value)
    return "'" + value if safe_csv and value.startswith(_RISKY_START) else value


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


def _csv_line(cells: Sequence[Any], delimiter: str) -> str:
    """One CSV/TSV line ending in a line feed; a cell holding a line feed or a
    carriage return is quoted (the csv module quotes only the characters of
    its line terminator, hence "\\r\\n" here, put back to "\\n")."""
    buf = io.StringIO()
    csv.writer(buf, delimiter=delimiter, lineterminator="\r\n").writerow(cells)
    return buf.getvalue()[:-2] + "\n"


def report_text(fmt: str, records: Sequence[Record], header: bool, *,
                columns: Sequence[str] | None = None, safe_csv: bool = False) -> str:
    """`records` in the format `fmt` (one of FORMATS): CSV/TSV lines (the
    header line of `columns`, by default the first record's fields, first if
    `header`), JSON lines, or one XML element per record."""
    rows = [{k: _value(_text(v, fmt, safe_csv) if isinstance(v, str) else v)
             for k, v in r.items()} for r in records]
    if fmt in ("csv", "tsv"):
        delimiter = "," if fmt == "csv" else "\t"
        names = list(columns) if columns is not None else list(rows[0]) if rows else []
        lines = [_csv_line(names, delimiter)] if header and names else []
        lines += [_csv_line(["" if v is None else v for v in row.values()], delimiter)
                  for row in rows]
        return "".join(lines)
    if fmt == "json":
        return "".join(json.dumps(row) + "\n" for row in rows)
    if fmt == "xml":
        return "".join("<measurement " + " ".join(f"{k}={_xml_attribute(str(v))}"
                                                  for k, v in row.items() if v is not None) + "/>\n"
                       for row in rows)
    raise ValueError(f"not a report format: {fmt!r}")


def holds_report(fmt: str, columns: Sequence[str], text: str) -> bool:
    """Whether `text` is empty or a whole report of the format `fmt` with the
    fields `columns` (in XML, elements with no other attributes)."""
    if not text:
        return True
    try:
        if fmt in ("csv", "tsv"):
            reader = csv.reader(io.StringIO(text, newline=""), delimiter="," if fmt == "csv" else "\t")
            rows = list(reader)
            return rows[0] == list(columns) and all(len(r) == len(columns) for r in rows)
        lines = [line for line in text.split("\n") if line]
        if fmt == "json":
            return all(list(_json_object(line)) == list(columns) for line in lines)
        if fmt == "xml":
            elements = [ET.fromstring(line) for line in lines]
            return all(e.tag == "measurement" and not len(e) and set(e.attrib) <= set(columns)
                       for e in elements)
    except (csv.Error, ValueError, ET.ParseError, RecursionError):
        return False
    return False


def _json_object(line: str) -> dict[str, Any]:
    value = json.loads(line)
    if not isinstance(value, dict):
        raise ValueError("not an object")
    return value


def _kind(path: str) -> str:
    """"missing", "stream" (a pipe or character device: written to, never
    replaced) or "file"; raises Refused for a directory or any other kind of
    file."""
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return "missing"
    if stat.S_ISDIR(st.st_mode):
        raise Refused(path, "is a directory")
    if stat.S_ISFIFO(st.st_mode) or stat.S_ISCHR(st.st_mode):
        return "stream"
    if not stat.S_ISREG(st.st_mode):
        raise Refused(path, "is not a regular file: left as it is")
    return "file"


def existing_text(path: str) -> str:
    """The text of the regular file `path` ("" when there is none, or it is
    a pipe or terminal). Raises Refused for a directory, any other kind of
    file, or one that does not hold text; OSError when it cannot be read."""
    if _kind(path) != "file":
        return ""
    with open(path, "rb") as f:
        start = f.read(1 << 16)
        if b"\0" in start or not _utf8_prefix(start):
            raise Refused(path, NOT_TEXT)
        data = start + f.read()
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        raise Refused(path, NOT_TEXT) from None


def _utf8_prefix(data: bytes) -> bool:
    """Whether `data` is UTF-8, a character cut at its end allowed."""
    for cut in range(4):
        try:
            data[:len(data) - cut].decode("utf-8")
            return True
        except UnicodeDecodeError:
            continue
    return False


def check_output(fmt: str, columns: Sequence[str], output: str | None) -> None:
    """Raises Refused when `output` exists and is not a report of the format
    `fmt` with `columns` (or empty): to be asked before any work is done.
    Raises OSError when it cannot be read."""
    if output is None or output == "-":
        return
    if not holds_report(fmt, columns, existing_text(output)):
        raise Refused(output, not_a_report(fmt))


def attempt(action: Callable[[], None], output: str | None) -> bool:
    """Runs `action`, which checks or writes the report file `output`: False
    (the reason said on standard error) when it raised Refused or OSError."""
    try:
        action()
    except Refused as e:
        terminal.fail(e.path, e.message)
        return False
    except OSError as e:
        terminal.failure(e, output or "-")
        return False
    return True


def not_a_report(fmt: str) -> str:
    return (f"exists and is not a {fmt} report with these columns: left as it is "
            "(choose another --output)")


def write_report(fmt: str, records: Sequence[Record], output: str | None, *,
                 columns: Sequence[str] | None = None, append: bool = False,
                 safe_csv: bool = False) -> None:
    """`records` to standard output (flushed; `output` None or "-"), or to
    the file `output`, its directories created: a new file, or one that held
    a report of the same format and `columns` replaced (append: added to, a
    CSV/TSV header line only when it was empty). Raises Refused and OSError."""
    names = list(columns) if columns is not None else list(records[0]) if records else []

    def text(header: bool) -> str:
        return report_text(fmt, records, header, columns=names, safe_csv=safe_csv)

    if output is None or output == "-":
        sys.stdout.write(text(header=True))
        sys.stdout.flush()
        return

    def new_text(old: str) -> str:
        if not holds_report(fmt, names, old):
            raise Refused(output, not_a_report(fmt))
        if append and old:
            return old + ("" if old.endswith("\n") else "\n") + text(header=False)
        return text(header=True)

    commit(output, new_text)


def commit(path: str, make: Callable[[str], str]) -> None:
    """Writes make(OLD) to the file `path`, OLD being its text ("" when it is
    new): through a temporary file in the same directory that then replaces
    it, keeping its permissions (a link's file is replaced, the link kept);
    a pipe or terminal is written straight. Raises Refused and OSError."""
    parent = os.path.dirname(path)
    if parent:
        os.makedirs(parent, exist_ok=True)
    if _kind(path) == "stream":
        with open(path, "w", encoding="utf-8") as f:
            f.write(make(""))
        return
    text = make(existing_text(path))
    target = os.path.realpath(path)
    try:
        mode = stat.S_IMODE(os.stat(target).st_mode)
    except FileNotFoundError:
        mode = 0o666 & ~_umask()
    temporary = ""
    try:
        fd, temporary = tempfile.mkstemp(prefix=".sonorik-", suffix=".tmp",
                                         dir=os.path.dirname(target))
        with os.fdopen(fd, "w", encoding="utf-8", newline="") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temporary, mode)
        os.replace(temporary, target)
    except BaseException as e:
        if temporary:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
        if isinstance(e, OSError) and e.filename is not None:
            e.filename = path  # the report is what failed, not its temporary file
        raise


def _umask() -> int:
    mask = os.umask(0o22)
    os.umask(mask)
    return mask


# ---- JUnit XML (sonorik check --format junit) ---------------------------------
# One <testsuites> holding one <testsuite>, one <testcase> per file: a
# <failure> for a file that fails a check, an <error> for one that cannot be
# measured. Text goes through the same XML rule as the xml format.

JUNIT = "junit"


@dataclass
class JUnitCase:
    """One file as a JUnit test case: `failure` (the reasons it failed) or
    `error` (why it could not be checked), or neither when it passed."""
    name: str
    classname: str
    time_s: float = 0.0
    failure: str | None = None
    error: str | None = None
    output: str = ""


def junit_text(suite: str, cases: Sequence[JUnitCase], timestamp: str) -> str:
    """The JUnit XML document of `cases` in one suite named `suite`."""
    def text(value: str) -> str:
        return _text(value, "xml", False)

    failures = sum(c.failure is not None for c in cases)
    errors = sum(c.error is not None for c in cases)
    total = f"{sum(c.time_s for c in cases):.3f}"
    counts = {"tests": str(len(cases)), "failures": str(failures), "errors": str(errors)}
    root = ET.Element("testsuites", {"name": text(suite), **counts, "time": total})
    node = ET.SubElement(root, "testsuite", {"name": text(suite), **counts, "skipped": "0",
                                             "time": total, "timestamp": timestamp})
    for c in cases:
        case = ET.SubElement(node, "testcase", {"name": text(c.name), "classname": text(c.classname),
                                                "time": f"{c.time_s:.3f}"})
        for tag, message in (("failure", c.failure), ("error", c.error)):
            if message is not None:
                first = message.split("\n", 1)[0]
                element = ET.SubElement(case, tag, {"message": text(first), "type": tag})
                element.text = text(message)
        if c.output:
            ET.SubElement(case, "system-out").text = text(c.output)
    ET.indent(root)
    return '<?xml version="1.0" encoding="UTF-8"?>\n' + ET.tostring(root, encoding="unicode") + "\n"


def holds_junit(text: str) -> bool:
    """Whether `text` is empty or a JUnit XML document (a <testsuites> or
    <testsuite> root)."""
    if not text:
        return True
    try:
        return ET.fromstring(text).tag in ("testsuites", "testsuite")
    except (ET.ParseError, ValueError, RecursionError):
        return False


def write_junit(suite: str, cases: Sequence[JUnitCase], timestamp: str, output: str | None) -> None:
    """The JUnit document to standard output (None or "-") or to the file
    `output`: a new one, or one that held a JUnit report, replaced. Raises
    Refused and OSError."""
    document = junit_text(suite, cases, timestamp)
    if output is None or output == "-":
        sys.stdout.write(document)
        sys.stdout.flush()
        return

    def new_text(old: str) -> str:
        if not holds_junit(old):
            raise Refused(output, "exists and is not a JUnit report: left as it is "
                                  "(choose another --report)")
        return document

    commit(output, new_text)


# ---- Parquet ----------------------------------------------------------------------
# The same records as one Parquet table (pyarrow, the optional extra "tables"):
# text columns as strings, every other column typed by its values (numbers as
# float64 or int64, None as null, infinities kept). Written whole through a
# temporary file like the text reports; an existing file is replaced only when
# it is a Parquet file with the same columns (or empty).

PARQUET_NEEDS = 'needs pyarrow: pip install "sonorik[tables]"'


def parquet_module() -> Any:
    """pyarrow.parquet; ImportError "--format parquet needs pyarrow: ..." without it."""
    try:
        return importlib.import_module("pyarrow.parquet")
    except ImportError as e:
        raise ImportError(f"--format parquet {PARQUET_NEEDS}") from e


def check_parquet_output(columns: Sequence[str], output: str | None) -> None:
    """Raises Refused unless `output` is a file name that is free, empty, or
    a Parquet file of `columns`."""
    if output is None or output == "-":
        raise Refused("-", "--format parquet is written to a file: give --output FILE")
    if _kind(output) == "stream":
        raise Refused(output, "--format parquet is written to a regular file, not a stream")
    if _kind(output) == "missing" or os.path.getsize(output) == 0:
        return
    pq = parquet_module()
    try:
        names = pq.read_schema(output).names
    except Exception:  # noqa: BLE001 - anything pyarrow cannot read is not a report
        names = None
    if names != list(columns):
        raise Refused(output, not_a_report("parquet"))


def write_parquet(records: Sequence[Record], output: str, columns: Sequence[str],
                  text_columns: Sequence[str]) -> None:
    """`records` as a Parquet file at `output` (checked again, then replaced
    whole). Raises Refused and OSError."""
    pq = parquet_module()
    pa = importlib.import_module("pyarrow")
    utf8_text = importlib.import_module("_sonorik_many").utf8_text  # names that are not UTF-8

    check_parquet_output(columns, output)
    arrays = {}
    for name in columns:
        values = [r.get(name) for r in records]
        if name in text_columns:
            arrays[name] = pa.array([v if v is None else utf8_text(v) for v in values],
                                    type=pa.string())
        else:
            a = pa.array(values)
            arrays[name] = a.cast(pa.float64()) if pa.types.is_null(a.type) else a
    table = pa.table(arrays)
    target = os.path.realpath(output)
    parent = os.path.dirname(target)
    os.makedirs(parent, exist_ok=True)
    fd, temporary = tempfile.mkstemp(prefix=".sonorik-", suffix=".tmp", dir=parent)
    os.close(fd)
    try:
        pq.write_table(table, temporary)
        os.chmod(temporary, 0o666 & ~_umask())
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
