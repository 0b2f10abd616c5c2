# The test legs, sourced by scripts/test.sh. Each runs in the checkout root.

PYTEST_ARGS=(-q -p no:cacheprovider)

# Progress for the person waiting: to the terminal on descriptor 3 when
# scripts/test.sh opened it (and to the leg's log), else to standard error.
say() {
    if { true >&3; } 2>/dev/null; then
        echo "$*"
        echo "    $*" >&3
    else
        echo "$*" >&2
    fi
}

# The environment of one interpreter: .venv-<implementation><version><abi
# flags>, e.g. .venv-cp313 or .venv-cp314t, so that PYTHON= never runs in an
# environment made for another interpreter.
env_name() {
    "$1" -c 'import sys
tag = {"cpython": "cp", "pypy": "pp"}.get(sys.implementation.name, sys.implementation.name)
print(".venv-%s%d%d%s" % (tag, *sys.version_info[:2], getattr(sys, "abiflags", "")))'
}

# pip, quiet: its output is shown only when it fails.
pip_in() {
    local venv=$1 out
    shift
    out=$("$venv/bin/python" -m pip "$@" 2>&1) || { echo "$out"; return 1; }
}

# setup_venv VENV PYTHON: the venv with the build and test tools (installed
# once) and the package (rebuilt each time: the build folder keeps that
# incremental). A venv of that name made by another interpreter is made anew.
setup_venv() {
    local venv=$1 python=$2 exe
    exe=$(cd / && "$python" -c 'import os, sys; print(os.path.realpath(sys.executable))') || return 1
    if [ -x "$venv/bin/python" ] && [ "$(cat "$venv/.kestrum-python" 2>/dev/null)" != "$exe" ]; then
        say "$venv was made by another interpreter: making it anew for $exe"
        rm -rf "$venv"
    fi
    if [ ! -x "$venv/bin/python" ]; then
        say "creating $venv for $exe"
        "$python" -m venv "$venv" || return 1
        echo "$exe" >"$venv/.kestrum-python"
    fi
    if [ ! -f "$venv/.kestrum-tools" ]; then
        say "installing build and test tools into $venv from PyPI (once)"
        pip_in "$venv" install -q --upgrade pip || return 1
        pip_in "$venv" install -q pytest pytest-timeout hypothesis scikit-build-core cmake ninja || return 1
        touch "$venv/.kestrum-tools"
    fi
    say "building and installing kestrum into $venv (the first build takes about 30 s)"
    pip_in "$venv" install -q --no-build-isolation . || return 1
}

# ensure_env [PYTHON]: sets up the environment of PYTHON, by default the
# interpreter scripts/find-python.sh picks (which honours PYTHON=), and prints
# its folder. The default made without PYTHON= set is also linked as .venv.
ensure_env() {
    local python=${1:-} venv default=0
    if [ -z "$python" ]; then
        python=$(scripts/find-python.sh) || return 1
        [ -n "${PYTHON:-}" ] || default=1
    fi
    venv=$(env_name "$python") || return 1
    setup_venv "$venv" "$python" >&2 || return 1
    if [ "$default" = 1 ] && [ "$(readlink .venv 2>/dev/null)" != "$venv" ]; then
        if [ -e .venv ] && [ ! -L .venv ]; then
            say "replacing the old .venv folder with a link to $venv"
            rm -rf .venv
        fi
        ln -sfn "$venv" .venv
    fi
    echo "$venv"
}

leg_host_python() {
    local python venv
    python=$(scripts/find-python.sh) || return 1
    "$python" -VV
    venv=$(ensure_env) || return 1
    say "pytest on $("$venv/bin/python" -V) in $venv"
    "$venv/bin/python" -m pytest "${PYTEST_ARGS[@]}" tests
}

# The free-threaded interpreter: python3.14t on PATH or $PYTHON_FT.
find_free_threaded() {
    local exe=${PYTHON_FT:-python3.14t}
    command -v "$exe" 2>/dev/null
}

leg_free_threaded() {
    local python venv
    if ! python=$(find_free_threaded); then
        echo "no free-threaded CPython (python3.14t on PATH or PYTHON_FT=): concurrency ran with a GIL only"
        return 77
    fi
    "$python" -VV
    venv=$(ensure_env "$python") || return 1
    "$venv/bin/python" -c '
import sys, kestrum._kestrum_core
assert not sys._is_gil_enabled(), "importing the module re-enabled the GIL"
print("GIL disabled after import:", not sys._is_gil_enabled())' || return 1
    say "pytest on $("$venv/bin/python" -V) in $venv"
    "$venv/bin/python" -m pytest "${PYTEST_ARGS[@]}" tests
}

# C++ tests of the cores under a sanitizer.
native_tests() {
    local build=$1 sanitize=$2
    say "building the C++ tests with -fsanitize=$sanitize"
    cmake -S tests/native -B "$build" -DKESTRUM_SANITIZE="$sanitize" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo || return 1
    cmake --build "$build" -j2 || return 1
    say "running them"
    "$build/kestrum_native_tests"
}

leg_native_tsan() {
    # TSan needs a memory layout that address-space randomisation can break.
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
        setarch "$(uname -m)" -R bash -c "$(declare -f say native_tests); native_tests build/native-tsan thread"
}

leg_native_asan() {
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        native_tests build/native-asan "address,undefined"
}

# The CPython versions the Debian sid root carries, oldest first.
SID_VERSIONS=(3.14 3.15)

sid_ready=0 sid_reason="the sid root leg did not run"
leg_sid_root() {
    local out rc version
    out=$(scripts/sid-root.sh ensure 2>&1)
    rc=$?
    [ -z "$out" ] || echo "$out"
    case $rc in
        0) ;;
        3) sid_reason="the Debian sid root could not be set up: $(tail -n1 <<<"$out" | sed 's/^sid root: //')"
           echo "$sid_reason"
           return 77 ;;
        *) sid_reason="the sid root leg failed"; return 1 ;;
    esac
    sid_ready=1
    for version in "${SID_VERSIONS[@]}"; do
        scripts/sid-root.sh run "python$version" -VV || return 1
    done
    du -sh "${KESTRUM_SID_ROOT:-${XDG_CACHE_HOME:-$HOME/.cache}/kestrum/sid}" 2>/dev/null
    echo "sid root PASSED"
}

sid_skip() {
    echo "$sid_reason"
    return 77
}

# The sources compile warning-free for a free-threaded interpreter, against the
# headers of every CPython in the sid root, with sid's g++.
leg_sid_gil_disabled_compile() {
    [ "$sid_ready" = 1 ] || { sid_skip; return; }
    say "compiling every source with Py_GIL_DISABLED against Python ${SID_VERSIONS[*]} headers"
    scripts/sid-root.sh run bash -c '
        set -e; cd /src; g++ --version | head -n1
        files=$(find src -name "*.cpp" | sort)
        for version in "$@"; do
            for f in $files; do
                g++ -std=c++20 -Wall -Wextra -Werror -fsyntax-only -DPy_GIL_DISABLED=1 \
                    -I/usr/include/python$version -Isrc "$f"
            done
            echo "compiled with Py_GIL_DISABLED against Python $version headers: $(wc -w <<<"$files") files"
        done
        echo "every source compiled with Py_GIL_DISABLED against the headers of Python ${*}: PASSED"' \
        _ "${SID_VERSIONS[@]}"
}

# leg_sid_python VERSION: the whole suite on Debian's CPython VERSION.
leg_sid_python() {
    local version=$1
    [ "$sid_ready" = 1 ] || { sid_skip; return; }
    say "building for Debian's python$version and running the suite on it"
    scripts/sid-root.sh run bash -c '
        set -e; cd /src; version=$1; tag=cp${version/./}
        python$version -VV
        scripts/build-staged.sh python$version build/sid-$tag
        cd tests && PYTHONPATH=/src/build/sid-$tag python$version -m pytest -q -p no:cacheprovider .' \
        _ "$version"
}

# leg_sid_refleak VERSION: reference leaks, the suite run several times in one
# process of Debian's debug interpreter (pythonVERSIONd, from its -dbg
# package: sys.gettotalrefcount). Its headers in /usr/include/pythonVERSIONd
# are symlinks into pythonVERSION/, and g++ resolves symlinked system headers
# by default, which would pick the release pyconfig.h next to them: the
# module's own reference counting would then go uncounted. The Python layer's
# tests are left out: they wait on threads and take minutes there, and the
# module's own tests make every call they make.
leg_sid_refleak() {
    local version=$1
    [ "$sid_ready" = 1 ] || { sid_skip; return; }
    say "building for python${version}d and running the suite 7 times in it (a few minutes)"
    scripts/sid-root.sh run bash -c '
        set -e; cd /src; version=$1; tag=cp${version/./}d
        python${version}d -VV
        scripts/build-staged.sh python${version}d build/sid-$tag -DCMAKE_CXX_FLAGS=-fno-canonical-system-headers
        nm -D build/sid-$tag/kestrum/*.so | grep -q _Py_DECREF_DecRefTotal ||
            { echo "the module was not built for the debug interpreter"; exit 1; }
        cd tests && PYTHONPATH=/src/build/sid-$tag python${version}d ../scripts/refleak.py \
            --warmups 3 --runs 3 $(ls test_*.py | grep -v "^test_layer_")' _ "$version"
}

# The environment of the host interpreter, set up if it is not there yet.
host_env() {
    local python venv
    python=$(scripts/find-python.sh) || return 1
    venv=$(env_name "$python") || return 1
    if [ -x "$venv/bin/python" ] && [ -f "$venv/.kestrum-tools" ]; then
        echo "$venv"
    else
        ensure_env
    fi
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
    local venv runtime
    runtime=$(g++ -print-file-name=libasan.so)
    [ -f "$runtime" ] || { echo "g++ has no ASan runtime (libasan.so): the extension was not checked"; return 77; }
    runtime="$runtime $(g++ -print-file-name=libstdc++.so)"
    venv=$(host_env) || return 1
    say "building the extension with ASan + UBSan for $("$venv/bin/python" -V)"
    scripts/build-staged.sh "$here/$venv/bin/python" build/asan-host \
        -DKESTRUM_SANITIZE=address,undefined || return 1
    (
        cd tests || exit 1
        export PYTHONPATH=$here/build/asan-host LD_PRELOAD="$runtime" PYTHONMALLOC=malloc \
            ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1 \
            UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
        "../$venv/bin/python" -c 'import kestrum._kestrum_core as m; print("module:", m.__file__)' &&
            "../$venv/bin/python" -m pytest "${PYTEST_ARGS[@]}" --capture=sys . 2>&1 | tee ../build/asan-host.log
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
    local python venv out site=build/tsan-site tests
    if ! python=$(command -v "${PYTHON_FT_TSAN:-python3.14t-tsan}" 2>/dev/null); then
        echo "no ThreadSanitizer build of free-threaded CPython (python3.14t-tsan on PATH or PYTHON_FT_TSAN=): the module was not checked for data races against the interpreter"
        return 77
    fi
    # TSan needs a memory layout that address-space randomisation can break.
    local run=(setarch "$(uname -m)" -R)
    "${run[@]}" "$python" -VV || return 1
    venv=$(host_env) || return 1
    if [ ! -f "$site/.ready" ]; then
        say "installing pytest and hypothesis for $python into $site (once)"
        rm -rf "$site"
        out=$("${run[@]}" "$venv/bin/python" -m pip --python "$python" install -q --target "$site" \
            pytest pytest-timeout hypothesis 2>&1) || { echo "$out"; return 1; }
        touch "$site/.ready"
    fi
    say "building the extension with TSan for $python"
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
    local venv
    venv=$(host_env) || return 1
    scripts/typecheck.sh "$venv/bin/python" && echo "typecheck PASSED"
}
