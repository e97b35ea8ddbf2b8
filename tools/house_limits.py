"""Checks the house limits over src/: no file longer than 600 lines, no
function longer than 100 lines, no type name defined twice. Prints what
breaks a limit and exits 1 if anything does.

    python tools/house_limits.py
"""
from __future__ import annotations

import re
import sys
from collections import defaultdict
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent / "src"
DEF = re.compile(r"^\s*(?:template\s*<[^;{]*>\s*)?(?:struct|class|enum class|enum)\s+([A-Za-z_][\w:]*)\s*(?:final\s*)?[:{]")
FUNC = re.compile(r"^[A-Za-z_][\w:<>,\s\*&~\[\]]*\([^;]*\)\s*(?:const\s*)?(?:noexcept\s*)?(?:->\s*[\w:<>]+\s*)?\{\s*$")


def functions(lines: list[str]):
    """(name line, length) of each top-level or member function body whose
    header starts a line and whose opening brace ends it."""
    i = 0
    while i < len(lines):
        if FUNC.match(lines[i]) and not lines[i].lstrip().startswith(("if", "for", "while", "switch", "namespace")):
            depth, j = 0, i
            while j < len(lines):
                depth += lines[j].count("{") - lines[j].count("}")
                if depth == 0:
                    break
                j += 1
            yield i + 1, j - i + 1
            i = j
        i += 1


def main() -> int:
    bad = []
    defined = defaultdict(list)
    for path in sorted(ROOT.rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        lines = path.read_text().splitlines()
        rel = path.relative_to(ROOT.parent)
        if len(lines) > 600:
            bad.append(f"{rel}: {len(lines)} lines")
        for start, length in functions(lines):
            if length > 100:
                bad.append(f"{rel}:{start}: function of {length} lines")
        for n, line in enumerate(lines, 1):
            m = DEF.match(line)
            if m:
                defined[m.group(1)].append(f"{rel}:{n}")
    for name, places in defined.items():
        if len(places) > 1:
            bad.append(f"type {name} defined {len(places)} times: {', '.join(places)}")
    print("\n".join(bad) if bad else "house limits kept")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
