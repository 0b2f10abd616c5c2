# make demo   set up the environment of the interpreter and run the package's main job
# make test   install what the test legs need, then run them all (one summary line per leg)
# make bench  run the benchmarks and refresh bench/results.md
#
# PYTHON=python3.14t make demo   the same on another interpreter: each one gets its
#                                own environment, .venv-<tag> (.venv-cp313, .venv-cp314t);
#                                without PYTHON=, .venv links to the default one.
# PYTHON_FT=, PYTHON_FT_TSAN=    the free-threaded interpreters of the test legs.

SHELL := /bin/bash

.PHONY: demo test bench venv clean

venv:
	@scripts/host-deps.sh ensure build
	@bash -c '. scripts/legs.sh && ensure_env >/dev/null'

demo:
	@scripts/host-deps.sh ensure build
	@venv=$$(bash -c '. scripts/legs.sh && ensure_env') && "$$venv/bin/python" -m kestrum

test:
	@scripts/test.sh

bench:
	@scripts/host-deps.sh ensure test
	@bash -c '. scripts/legs.sh && ensure_env >/dev/null'
	@scripts/bench.sh

clean:
	rm -rf build .venv .venv-*
