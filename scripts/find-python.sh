#!/usr/bin/env bash
# Prints the path of the newest CPython >= 3.12 (with the GIL) on this machine:
# $PYTHON if set, else the newest found on PATH or in pyenv's versions.
set -euo pipefail

if [ -n "${PYTHON:-}" ]; then
    command -v "$PYTHON" || { echo "PYTHON=$PYTHON not found" >&2; exit 1; }
    exit 0
fi

candidates() {
    local dir
    IFS=: read -ra dirs <<<"$PATH"
    for dir in "${dirs[@]}"; do
        ls "$dir"/python3 "$dir"/python3.[0-9]* 2>/dev/null || true
    done
    ls "${PYENV_ROOT:-$HOME/.pyenv}"/versions/*/bin/python3 2>/dev/null || true
}

best="" best_version=0
while read -r exe; do
    case "$exe" in *t|*-config|*-dbg|*d) continue ;; esac
    # pyenv shims fail for versions that aren't selected: skip whatever fails.
    version=$("$exe" -c 'import sys, sysconfig
if sys.implementation.name == "cpython" and not sysconfig.get_config_var("Py_GIL_DISABLED"):
    print(sys.version_info[0] * 100 + sys.version_info[1])' 2>/dev/null) || continue
    [ -n "$version" ] || continue
    if [ "$version" -ge 312 ] && [ "$version" -gt "$best_version" ]; then
        best=$exe best_version=$version
    fi
done < <(candidates | sort -u)

[ -n "$best" ] || { echo "no CPython >= 3.12 found (set PYTHON=)" >&2; exit 1; }
echo "$best"
