#!/usr/bin/env bash
# Runs every test leg and prints one summary line per leg.
# Exit status is non-zero if any leg failed; a leg whose interpreter or
# environment is missing is reported as SKIPPED, with its reason, and does
# not fail. First installs the Debian packages the legs need (as root), or
# stops with the command that would.
set -uo pipefail
cd "$(dirname "$0")/.."
here=$(pwd)
logs=build/logs
mkdir -p "$logs"
. scripts/legs.sh

echo "=== system packages"
scripts/host-deps.sh ensure test || exit 1

declare -a summary=()
failed=0 skipped=0 began=$(date +%s)

# run_leg NAME FUNCTION [ARGS...]: runs it with output to build/logs/NAME.log;
# the leg's progress lines (say) reach the terminal on descriptor 3.
# Exit 0 = passed, 77 = skipped (the log's last line says why), else failed.
run_leg() {
    local name=$1 fn=$2 start rc elapsed line
    shift 2
    start=$(date +%s)
    echo "=== $name"
    "$fn" "$@" 3>&1 >"$logs/$name.log" 2>&1
    rc=$?
    elapsed=$(( $(date +%s) - start ))
    case $rc in
        0) line="PASSED   $name (${elapsed}s): $(grep -E '(passed|PASSED|tests ran)' "$logs/$name.log" | tail -n1)" ;;
        77) line="SKIPPED  $name: $(tail -n1 "$logs/$name.log")"
            skipped=1 ;;
        *) line="FAILED   $name (${elapsed}s): see $logs/$name.log"
           failed=1
           tail -n 60 "$logs/$name.log" ;;
    esac
    echo "$line"
    summary+=("$line")
}

run_leg host-python leg_host_python
run_leg host-asan-ubsan leg_host_asan_extension
run_leg typecheck leg_typecheck
run_leg native-tsan leg_native_tsan
run_leg native-asan-ubsan leg_native_asan
run_leg free-threaded leg_free_threaded
run_leg free-threaded-tsan leg_free_threaded_tsan
run_leg sid-root leg_sid_root
run_leg sid-gil-disabled-compile leg_sid_gil_disabled_compile
for version in "${SID_VERSIONS[@]}"; do
    run_leg "sid-python$version" leg_sid_python "$version"
done
for version in "${SID_VERSIONS[@]}"; do
    run_leg "sid-refleak-python${version}d" leg_sid_refleak "$version"
done

echo
echo "==================== summary ($(( $(date +%s) - began ))s; logs in $logs/)"
printf '%s\n' "${summary[@]}"
[ "$skipped" = 0 ] || echo "!!! a leg was skipped: its reason is on its line above"
exit $failed
