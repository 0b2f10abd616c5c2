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

# Reference leaks: the suite run several times in one process of Debian's debug
# interpreter (python3.14d, from python3.14-dbg: sys.gettotalrefcount). Its
# headers in /usr/include/python3.14d are symlinks into python3.14/, and g++
# resolves symlinked system headers by default, which would pick the release
# pyconfig.h next to them: the module's own reference counting would then go
# uncounted. The Python layer's tests are left out: they wait on threads and
# take minutes there, and the module's own tests make every call they make.
leg_sid_refleak() {
    [ "$sid_ready" = 1 ] || { echo "no Debian sid root"; return 77; }
    scripts/sid-root.sh run bash -c '
        set -e; cd /src; python3.14d -VV
        scripts/build-staged.sh python3.14d build/sid-cp314d -DCMAKE_CXX_FLAGS=-fno-canonical-system-headers
        nm -D build/sid-cp314d/kestrum/*.so | grep -q _Py_DECREF_DecRefTotal ||
            { echo "the module was not built for the debug interpreter"; exit 1; }
        cd tests && PYTHONPATH=/src/build/sid-cp314d python3.14d ../scripts/refleak.py \
            --warmups 3 --runs 3 $(ls test_*.py | grep -v "^test_layer_")'
}

# The suite on the host CPython with the extension built under AddressSanitizer
# and UBSan. The interpreter itself is not instrumented, so the ASan runtime is
# preloaded, and the C++ runtime right after it: ASan finds the real
# __cxa_throw only in a library loaded at start-up, and without it the first
# C++ exception the module throws aborts the process. PYTHONMALLOC=malloc lets
# ASan see every object allocation; leak detection is off, as the interpreter
# does not free everything at exit; a test may ask for an impossible allocation
# and expect MemoryError. pytest captures at the Python level only: a sanitizer
# writes its report to file descriptor 2 and then ends the process, so a
# report captured at the descriptor would be lost with it.
leg_host_asan_extension() {
    local python runtime
    python=$(scripts/find-python.sh) || return 1
    runtime=$(g++ -print-file-name=libasan.so)
    [ -f "$runtime" ] || { echo "g++ has no ASan runtime (libasan.so): the extension was not checked"; return 77; }
    runtime="$runtime $(g++ -print-file-name=libstdc++.so)"
    [ -x .venv/bin/python ] || setup_venv .venv "$python" || return 1
    scripts/build-staged.sh "$here/.venv/bin/python" build/asan-host \
        -DKESTRUM_SANITIZE=address,undefined || return 1
    (
        cd tests || exit 1
        export PYTHONPATH=$here/build/asan-host LD_PRELOAD="$runtime" PYTHONMALLOC=malloc \
            ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1 \
            UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
        ../.venv/bin/python -c 'import kestrum._kestrum_core as m; print("module:", m.__file__)' &&
            ../.venv/bin/python -m pytest "${PYTEST_ARGS[@]}" --capture=sys . 2>&1 | tee ../build/asan-host.log
        exit "${PIPESTATUS[0]}"
    ) || return 1
    # A report from a child process need not fail its test: any report fails the leg.
    if grep -qE 'ERROR: AddressSanitizer|runtime error:' build/asan-host.log; then
        echo "a sanitizer report (see above): FAILED"
        return 1
    fi
}

# ThreadSanitizer on the free-threaded interpreter: a CPython 3.14t built with
# --with-thread-sanitizer (python3.14t-tsan on PATH or $PYTHON_FT_TSAN), the
# extension built with -fsanitize=thread for it, and the multi-threaded tests,
# the ones whose names say "thread" or "concurrent". The interpreter already
# links the TSan runtime the extension needs, so nothing is preloaded. Its
# test tools are installed for it into build/ once (it has no pip of its own).
# Capturing stays at the Python level, as in the ASan leg.
leg_free_threaded_tsan() {
    local python site=build/tsan-site tests
    if ! python=$(command -v "${PYTHON_FT_TSAN:-python3.14t-tsan}" 2>/dev/null); then
        echo "no ThreadSanitizer build of free-threaded CPython (python3.14t-tsan on PATH or PYTHON_FT_TSAN=): the module was not checked for data races against the interpreter"
        return 77
    fi
    # TSan needs a memory layout that address-space randomisation can break.
    local run=(setarch "$(uname -m)" -R)
    "${run[@]}" "$python" -VV || return 1
    [ -x .venv/bin/python ] || setup_venv .venv "$(scripts/find-python.sh)" || return 1
    if [ ! -f "$site/.ready" ]; then
        rm -rf "$site"
        "${run[@]}" .venv/bin/python -m pip --python "$python" install -q --target "$site" \
            pytest pytest-timeout hypothesis || return 1
        touch "$site/.ready"
    fi
    scripts/build-staged.sh "$python" build/tsan-ft -DKESTRUM_SANITIZE=thread || return 1
    tests=$(cd tests && grep -oiE '^def test_\w*(thread|concurrent)\w*' test_*.py | sed 's/:def /::/')
    [ -n "$tests" ] || { echo "no test named for threads or concurrency"; return 1; }
    echo "selected:" $tests
    (
        cd tests || exit 1
        export PYTHONPATH=$here/build/tsan-ft:$here/$site
        export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$here/tests/tsan-suppressions.txt"
        "${run[@]}" "$python" -m pytest "${PYTEST_ARGS[@]}" --capture=sys $tests
    )
}

# The stubs match the built module and the package type-checks strictly.
leg_typecheck() {
    [ -x .venv/bin/python ] || setup_venv .venv "$(scripts/find-python.sh)" || return 1
    scripts/typecheck.sh .venv/bin/python && echo "typecheck PASSED"
}
