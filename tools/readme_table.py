#!/usr/bin/env python3
"""Copies a results table that the tests wrote into README.md, between the
marker comments `<!-- begin NAME -->` and `<!-- end NAME -->`.

    python tools/readme_table.py conformance build/conformance.md README.md
"""

import sys
from pathlib import Path


def main(name: str, table: str, readme: str) -> int:
    if not Path(table).exists():
        print(f"{table} not written (its test was skipped); {readme} left as it is")
        return 0
    text = Path(readme).read_text()
    begin, end = f"<!-- begin {name} -->", f"<!-- end {name} -->"
    if begin not in text or end not in text:
        print(f"{readme} has no {begin} ... {end} markers", file=sys.stderr)
        return 1
    head, rest = text.split(begin, 1)
    new = head + begin + "\n" + Path(table).read_text() + end + rest.split(end, 1)[1]
    if new != text:
        Path(readme).write_text(new)
        print(f"{readme}: {name} table updated from {table}")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
