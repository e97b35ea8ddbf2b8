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


def _code(text: str) -> str:
    """The text with comments, strings and character literals blanked
    (newlines kept, so line numbers stay)."""
    pattern = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)
    return pattern.sub(lambda m: re.sub(r"[^\n]", " ", m.group(0)), text)


def functions(text: str):
    """(first line, length in lines) of each function body at namespace or
    class scope: a brace whose statement so far holds a parameter list."""
    code = _code(text)
    stack: list[tuple[str, int]] = []
    statement_start = 0
    line = 1
    for i, ch in enumerate(code):
        if ch == "\n":
            line += 1
        elif ch == "{":
            head = code[statement_start:i]
            in_function = any(kind == "function" for kind, _ in stack)
            if in_function:
                kind = "block"
            elif re.search(r"\b(namespace|class|struct|union|enum)\b[^()]*$", head) or "extern" in head:
                kind = "scope"
            elif ")" in head and not re.search(r"=\s*$", head):
                kind = "function"
            else:
                kind = "block"
            stack.append((kind, line))
            statement_start = i + 1
        elif ch == "}":
            if stack:
                kind, first = stack.pop()
                if kind == "function":
                    yield first, line - first + 1
            statement_start = i + 1
        elif ch == ";":
            statement_start = i + 1


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
        for start, length in functions(path.read_text()):
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
