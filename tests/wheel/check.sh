#!/usr/bin/env bash
# Installs a repaired wheel into a fresh virtual environment and runs the
# smoke run in a sandbox where the system's copy of every library the wheel
# carries is replaced by an empty file. The same run with the unrepaired wheel must fail there, which
# shows that the sandbox really hides them.
#   tests/wheel/check.sh PYTHON UNREPAIRED.whl REPAIRED.whl WORKDIR
set -euo pipefail
python=$1 raw=$2 repaired=$3 work=$4
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work" && mkdir -p "$work"

install() {  # venv wheel
  "$python" -m venv "$1"
  "$1/bin/python" -m pip install -q "$2"
}
install "$work/raw" "$raw"
install "$work/repaired" "$repaired"

# Every library auditwheel copied into the wheel (those outside the manylinux
# policy), found where the unrepaired extensions resolve it on this system.
grafted=$("$python" -c 'import sys, zipfile; print(*zipfile.ZipFile(sys.argv[1]).namelist(), sep="\n")' "$repaired" | sed -n 's|^[^/]*\.libs/\(lib[^/-]*\)-[0-9a-f]\{8\}\.so.*|\1|p' | sort -u)
hide=() names=()
for lib in $(find "$work"/raw/lib/python*/site-packages -maxdepth 1 -name '*.so' -exec ldd {} + |
             awk '$2 == "=>" && $3 ~ /^\// {print $3}' | sort -u); do
  base=$(basename "$lib")
  if grep -qx "${base%%.so*}" <<<"$grafted"; then
    hide+=(--ro-bind /dev/null "$(readlink -f "$lib")") names+=("$base")
  fi
done
[ ${#hide[@]} -gt 0 ] || { echo "no system libraries found to hide"; exit 1; }
echo "hidden from the sandbox: ${names[*]}"

sandbox() { bwrap --dev-bind / / "${hide[@]}" "$@"; }
if sandbox "$work/raw/bin/python" "$here/smoke.py" >"$work/raw.log" 2>&1; then
  echo "the unrepaired wheel ran with the system libraries hidden: the sandbox hides nothing"; exit 1
fi
echo "unrepaired wheel, libraries hidden: fails as expected ($(grep -m1 -o 'lib[a-z0-9_+-]*\.so[.0-9]*: cannot open[^:]*' "$work/raw.log" || tail -n1 "$work/raw.log"))"
sandbox "$work/repaired/bin/python" "$here/smoke.py"
