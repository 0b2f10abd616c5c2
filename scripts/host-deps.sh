#!/usr/bin/env bash
# The Debian packages this machine needs, installed when they are missing.
#
#   scripts/host-deps.sh missing PKG...   print those of PKG... not installed
#   scripts/host-deps.sh ensure build|test
#
# `ensure build` covers `make demo` (a C++ compiler and make: CMake and Ninja
# come from PyPI into the venv); `ensure test`, for `make test` and `make
# bench`, adds what they use from the system: CMake, GoogleTest for the C++
# tests, Google Benchmark for the C++ benchmarks, debootstrap for the Debian
# sid root, setarch and unshare.
# As root, missing packages are installed (one apt-get update first); as
# anyone else it stops at once with the command to run.
set -euo pipefail

BUILD=(g++ make)
TEST=("${BUILD[@]}" cmake libgtest-dev libbenchmark-dev debootstrap util-linux)

installed() {
    [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

missing() {
    local pkg
    for pkg in "$@"; do
        installed "$pkg" || echo "$pkg"
    done
}

ensure() {
    local -a want need
    case ${1:-} in
        build) want=("${BUILD[@]}") ;;
        test) want=("${TEST[@]}") ;;
        *) echo "usage: $0 ensure build|test" >&2; return 2 ;;
    esac
    if ! command -v dpkg-query >/dev/null; then
        echo "not a Debian system: make sure these are installed: ${want[*]}" >&2
        return 0
    fi
    mapfile -t need < <(missing "${want[@]}")
    [ ${#need[@]} -gt 0 ] || return 0
    local command="apt-get update && apt-get install -y --no-install-recommends ${need[*]}"
    if [ "$(id -u)" != 0 ]; then
        echo "missing Debian packages: ${need[*]}; install them with:" >&2
        echo "    sudo sh -c '$command'" >&2
        return 1
    fi
    echo "installing Debian packages: ${need[*]} (apt-get, about a minute)"
    export DEBIAN_FRONTEND=noninteractive
    local log
    log=$(mktemp)
    if ! { apt-get update -q && apt-get install -y -q --no-install-recommends "${need[@]}"; } >"$log" 2>&1; then
        tail -n 20 "$log" >&2
        rm -f "$log"
        echo "installing failed; the command was: $command" >&2
        return 1
    fi
    rm -f "$log"
    echo "installed: ${need[*]}"
}

case ${1:-} in
    missing) shift; missing "$@" ;;
    ensure) shift; ensure "$@" ;;
    *) echo "usage: $0 missing PKG... | ensure build|test" >&2; exit 2 ;;
esac
