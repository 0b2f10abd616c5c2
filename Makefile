# make demo   set up .venv and run the package's main job
# make test   set up and run every test leg (one summary line per leg)
# make bench  run the benchmarks and refresh bench/results.md

SHELL := /bin/bash

.PHONY: demo test bench venv clean

venv:
	@bash -c '. scripts/legs.sh && setup_venv .venv "$$(scripts/find-python.sh)"'

demo: venv
	.venv/bin/python -m kestrum

test:
	@scripts/test.sh

bench: venv
	@scripts/bench.sh

clean:
	rm -rf build .venv .venv-ft
