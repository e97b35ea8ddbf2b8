#!/usr/bin/env bash
# Installs a repaired wheel into a fresh virtual environment and runs the
# smoke run in a sandbox where every shared library the extensions load from
# the system, other than those every Linux system has, is replaced by an
# empty file. The same run with the unrepaired wheel must fail there, which
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

# What the unrepaired extensions resolve from the system, less the C and C++
# runtimes a manylinux wheel may assume and zlib, which the interpreter's own
# binascii module loads (libsndfile's codecs bring it into the list).
hide=() names=()
for lib in $(find "$work/raw" -name '*.so' -path '*site-packages*' -exec ldd {} + |
             awk '$2 == "=>" && $3 ~ /^\// {print $3}' | sort -u); do
  case $(basename "$lib") in
    libc.so*|libm.so*|libstdc++.so*|libgcc_s.so*|libpthread.so*|libdl.so*|librt.so*|ld-linux*|libz.so*) ;;
    *) hide+=(--ro-bind /dev/null "$(readlink -f "$lib")") names+=("$(basename "$lib")") ;;
  esac
done
[ ${#hide[@]} -gt 0 ] || { echo "no system libraries found to hide"; exit 1; }
echo "hidden from the sandbox: ${names[*]}"

sandbox() { bwrap --dev-bind / / "${hide[@]}" "$@"; }
if sandbox "$work/raw/bin/python" "$here/smoke.py" >"$work/raw.log" 2>&1; then
  echo "the unrepaired wheel ran with the system libraries hidden: the sandbox hides nothing"; exit 1
fi
echo "unrepaired wheel, libraries hidden: fails as expected ($(grep -m1 -o 'lib[a-z0-9_+-]*\.so[.0-9]*: cannot open[^:]*' "$work/raw.log" || tail -n1 "$work/raw.log"))"
sandbox "$work/repaired/bin/python" "$here/smoke.py"
