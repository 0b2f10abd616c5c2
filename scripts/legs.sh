# The test legs, sourced by scripts/test.sh. Each runs in the checkout root.

PYTEST_ARGS=(-q -p no:cacheprovider)

# The venv of the newest CPython >= 3.12 here, with the package and test tools.
setup_venv() {
    local venv=$1 python=$2
    if [ ! -x "$venv/bin/python" ]; then
        "$python" -m venv "$venv" || return 1
    fi
    "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
    "$venv/bin/python" -m pip install -q pytest pytest-timeout hypothesis scikit-build-core cmake ninja \
        || return 1
    "$venv/bin/python" -m pip install -q --no-build-isolation . || return 1
}

leg_host_python() {
    local python
    python=$(scripts/find-python.sh) || return 1
    "$python" -VV
    setup_venv .venv "$python" || return 1
    .venv/bin/python -m pytest "${PYTEST_ARGS[@]}" tests
}

# The free-threaded interpreter: python3.14t on PATH or $PYTHON_FT.
find_free_threaded() {
    local exe=${PYTHON_FT:-python3.14t}
    command -v "$exe" 2>/dev/null
}

leg_free_threaded() {
    local python
    if ! python=$(find_free_threaded); then
        echo "no free-threaded CPython (python3.14t on PATH or PYTHON_FT=): concurrency ran with a GIL only"
        return 77
    fi
    "$python" -VV
    setup_venv .venv-ft "$python" || return 1
    .venv-ft/bin/python -c '
import sys, kestrum._kestrum_core
assert not sys._is_gil_enabled(), "importing the module re-enabled the GIL"
print("GIL disabled after import:", not sys._is_gil_enabled())' || return 1
    .venv-ft/bin/python -m pytest "${PYTEST_ARGS[@]}" tests
}

# C++ tests of the cores under a sanitizer.
native_tests() {
    local build=$1 sanitize=$2
    cmake -S tests/native -B "$build" -DKESTRUM_SANITIZE="$sanitize" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo || return 1
    cmake --build "$build" -j2 || return 1
    "$build/kestrum_native_tests"
}

leg_native_tsan() {
    # TSan needs a memory layout that address-space randomisation can break.
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
        setarch "$(uname -m)" -R bash -c "$(declare -f native_tests); native_tests build/native-tsan thread"
}

leg_native_asan() {
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        native_tests build/native-asan "address,undefined"
}

sid_ready=0
leg_sid_root() {
    scripts/sid-root.sh ensure
    case $? in
        0) sid_ready=1; scripts/sid-root.sh run python3.14 -VV ;;
        3) echo "!!! the Debian sid root could not be set up (see above): its legs are skipped"; return 77 ;;
        *) return 1 ;;
    esac
}

# The sources compile warning-free for a free-threaded interpreter, with sid's g++.
leg_sid_gil_disabled_compile() {
    [ "$sid_ready" = 1 ] || { echo "no Debian sid root"; return 77; }
    scripts/sid-root.sh run bash -c '
        set -e; cd /src; g++ --version | head -n1
        for f in $(find src -name "*.cpp"); do
            g++ -std=c++20 -Wall -Wextra -Werror -fsyntax-only -DPy_GIL_DISABLED=1 \
                -I/usr/include/python3.14 -Isrc "$f"
        done
        echo "compiled with Py_GIL_DISABLED: $(find src -name "*.cpp" | wc -l) files, PASSED"'
}

leg_sid_python() {
    [ "$sid_ready" = 1 ] || { echo "no Debian sid root"; return 77; }
    scripts/sid-root.sh run bash -c '
        set -e; cd /src
        scripts/build-staged.sh python3.14 build/sid-cp314
        cd tests && PYTHONPATH=/src/build/sid-cp314 python3.14 -m pytest -q -p no:cacheprovider .'
}
