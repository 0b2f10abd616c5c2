#!/usr/bin/env bash
# Runs every test leg and prints one summary line per leg.
# Exit status is non-zero if any leg failed; a leg whose interpreter or
# environment is missing is reported as SKIPPED, loudly, and does not fail.
set -uo pipefail
cd "$(dirname "$0")/.."
here=$(pwd)
logs=build/logs
mkdir -p "$logs"
. scripts/legs.sh

declare -a summary=()
failed=0

# run_leg NAME FUNCTION: runs it with output to build/logs/NAME.log.
# Exit 0 = passed, 77 = skipped (the log's last line says why), else failed.
run_leg() {
    local name=$1 fn=$2 start rc elapsed
    start=$(date +%s)
    echo "=== $name"
    "$fn" >"$logs/$name.log" 2>&1
    rc=$?
    elapsed=$(( $(date +%s) - start ))
    case $rc in
        0) summary+=("PASSED   $name (${elapsed}s): $(grep -E '(passed|PASSED|tests ran)' "$logs/$name.log" | tail -n1)") ;;
        77) summary+=("SKIPPED  $name: $(tail -n1 "$logs/$name.log")") ;;
        *) summary+=("FAILED   $name (${elapsed}s): see $logs/$name.log")
           failed=1
           tail -n 60 "$logs/$name.log" ;;
    esac
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
run_leg sid-python3.14 leg_sid_python
run_leg sid-refleak leg_sid_refleak

echo
echo "==================== summary"
printf '%s\n' "${summary[@]}"
for line in "${summary[@]}"; do
    case $line in SKIPPED*) echo "!!! a leg was skipped: see above" ;; esac
done | sort -u
exit $failed
