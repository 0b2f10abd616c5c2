#!/usr/bin/env bash
# Type-checks the package: mypy --strict on python/kestrum, stubtest of the
# native module's stub against the module installed in the given venv, and
# mypy --strict on tests/typing/, code that uses the installed package.
#
#   scripts/typecheck.sh VENV_PYTHON     e.g. scripts/typecheck.sh .venv/bin/python
#
# Installs mypy into that venv when it is missing. Exits non-zero on any error.
set -euo pipefail
arg=${1:?usage: scripts/typecheck.sh VENV_PYTHON}
# Absolute, but not resolved: a venv's python is a symlink that must stay one.
case $arg in
    */*) python=$(cd "$(dirname "$arg")" && pwd)/$(basename "$arg") ;;
    *) python=$(command -v "$arg") ;;
esac
cd "$(dirname "$0")/.."

if ! "$python" -c 'import mypy' 2>/dev/null; then
    echo "installing mypy into $("$python" -c 'import sys; print(sys.prefix)')"
    "$python" -m pip install -q mypy
fi

status=0
echo "=== mypy --strict python/kestrum"
"$python" -m mypy --strict --no-incremental python/kestrum || status=1

# stubtest imports the installed package, so run it from outside the checkout
# (the source tree's python/kestrum has no compiled module to import).
allowlist=$(pwd)/scripts/stubtest-allowlist.txt
echo "=== stubtest kestrum._kestrum_core kestrum._kestrum_native"
args=(kestrum._kestrum_core kestrum._kestrum_native)
[ -f "$allowlist" ] && args+=(--allowlist "$allowlist")
(cd /tmp && "$python" -m mypy.stubtest "${args[@]}") || status=1

echo "=== mypy --strict tests/typing (against the installed package)"
"$python" -m mypy --strict --no-incremental tests/typing || status=1

exit $status
