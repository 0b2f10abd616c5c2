"""Reference-leak hunt: runs the pytest suite several times in one debug interpreter.

    python3.14d scripts/refleak.py [--warmups W] [--runs N] [pytest arguments...]

After each run it collects garbage and records sys.gettotalrefcount() and
sys.getallocatedblocks(). The first W runs fill the caches of the interpreter,
pytest and Hypothesis; over the N runs after them, a counter that grew in every
single run is a leak (the rule CPython's own -R mode uses: a count that drifts
up and down is noise, one that grows every time is not). pytest itself keeps a
few references and blocks per session, so a run of an empty test file is
measured first and only growth beyond its largest step counts. On a leak, each
test file is run the same way on its own, to say where it comes from.

Hypothesis is made deterministic (derandomize, no example database), so every
run makes the same calls.
"""

import argparse
import contextlib
import gc
import io
import os
import sys
import tempfile
from pathlib import Path

import pytest
from hypothesis import settings


def counters():
    gc.collect()
    gc.collect()
    if hasattr(sys, "_clear_internal_caches"):
        sys._clear_internal_caches()
    else:
        sys._clear_type_cache()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def measure(args, warmups, runs, quiet=False):
    """Runs pytest warmups + runs + 1 times; returns the reference and block deltas of the last runs."""
    samples = []
    for i in range(warmups + runs + 1):
        output = io.StringIO() if quiet or i > 0 else sys.stdout
        with contextlib.redirect_stdout(output):
            status = pytest.main(["-q", "-p", "no:cacheprovider", "-p", "no:randomly", *args])
        if status not in (pytest.ExitCode.OK, pytest.ExitCode.NO_TESTS_COLLECTED):
            print(output.getvalue() if output is not sys.stdout else "", file=sys.stderr)
            raise SystemExit(f"refleak: pytest failed (exit {int(status)}) in run {i + 1}")
        if i >= warmups:
            samples.append(counters())
    refs = [b[0] - a[0] for a, b in zip(samples, samples[1:])]
    blocks = [b[1] - a[1] for a, b in zip(samples, samples[1:])]
    return refs, blocks


def leaks(deltas, allowance):
    return all(delta > allowance for delta in deltas)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--warmups", type=int, default=3)
    parser.add_argument("--runs", type=int, default=3)
    options, pytest_args = parser.parse_known_args()
    if not hasattr(sys, "gettotalrefcount"):
        raise SystemExit("refleak: needs a debug build of CPython (sys.gettotalrefcount)")
    settings.register_profile("refleak", derandomize=True, database=None, deadline=None)
    settings.load_profile("refleak")

    with tempfile.TemporaryDirectory() as empty:
        Path(empty, "test_empty.py").write_text("def test_nothing():\n    pass\n")
        base_refs, base_blocks = measure([empty], options.warmups, options.runs, quiet=True)
    ref_allowance, block_allowance = max(0, *base_refs), max(0, *base_blocks)
    print(f"refleak: pytest alone, deltas per run: references {base_refs}, memory blocks {base_blocks}")
    refs, blocks = measure(pytest_args, options.warmups, options.runs)
    print(f"refleak: the suite, deltas per run: references {refs}, memory blocks {blocks}")
    if not (leaks(refs, ref_allowance) or leaks(blocks, block_allowance)):
        print(f"refleak: no leak over {options.runs} runs after {options.warmups} warm-ups: PASSED")
        return 0
    paths = [arg for arg in pytest_args if os.path.exists(arg)]
    rest = [arg for arg in pytest_args if arg not in paths]
    files = [f for p in map(Path, paths) for f in (sorted(p.glob("test_*.py")) if p.is_dir() else [p])]
    for path in files:
        file_refs, file_blocks = measure([*rest, str(path)], options.warmups, options.runs, quiet=True)
        verdict = "LEAKS" if leaks(file_refs, ref_allowance) or leaks(file_blocks, block_allowance) else "ok"
        print(f"refleak: {path}: references {file_refs}, memory blocks {file_blocks}: {verdict}")
    print("refleak: the counters grew in every run: FAILED")
    return 1


if __name__ == "__main__":
    sys.exit(main())
