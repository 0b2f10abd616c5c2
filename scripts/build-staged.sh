#!/usr/bin/env bash
# Builds the extension for one interpreter with CMake alone and stages an
# importable copy of the package: OUT/kestrum/{*.py, py.typed, _kestrum_*.so}.
# Used by the test legs that run an interpreter without a virtual environment
# (the Debian sid root, sanitizer builds).
#
#   scripts/build-staged.sh PYTHON OUT [cmake -D options...]
set -euo pipefail
python=$1 out=$2
shift 2
here=$(cd "$(dirname "$0")/.." && pwd)

cmake -S "$here" -B "$out/build" -DPython_EXECUTABLE="$(command -v "$python")" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$out.cmake.log" 2>&1 \
    || { cat "$out.cmake.log" >&2; exit 1; }
cmake --build "$out/build" -j2 >"$out.build.log" 2>&1 || { cat "$out.build.log" >&2; exit 1; }
rm -rf "$out/kestrum"
mkdir -p "$out/kestrum"
cp "$here"/python/kestrum/*.py "$here"/python/kestrum/py.typed "$out/kestrum/"
cp "$out"/build/_kestrum_*.so "$out/kestrum/"  # _kestrum_core and _kestrum_native
