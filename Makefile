# korvane: build, demo, tests and benchmarks in a local virtual environment.
#
#   make demo     set up .venv, build and install the package, run the tour
#   make test     set up .venv, build and install the package, run the tests
#   make bench    run the benchmarks; the comparison table, its JSON and a chart
#                 land in build/bench/
#   make dev M=x  fast in-place build of one module for development

VENV       := .venv
VPY        := $(VENV)/bin/python
STAMP      := $(VENV)/.korvane-stamp
SOURCES    := $(shell find src -name '*.cpp' -o -name '*.hpp' -o -name '*.h' -o -name '*.py') \
              CMakeLists.txt pyproject.toml
PIP_FLAGS  := --disable-pip-version-check --no-input -q
BUILD_OPTS := -C cmake.define.KORVANE_WERROR=ON
BENCH_OUT  := build/bench

.PHONY: demo test bench install venv dev clean sanitize check-deep

demo: install
	$(VPY) -m korvane

test: install
	$(VPY) -m pytest -q tests

bench: install
	$(VPY) -m pip install $(PIP_FLAGS) '.[bench]' $(BUILD_OPTS)
	@mkdir -p $(BENCH_OUT)
	$(VPY) -m pytest benchmarks -q -o python_files='bench_*.py' --benchmark-only --benchmark-group-by=group \
	    --benchmark-columns=min,median,mean,rounds --benchmark-sort=mean --benchmark-json=$(BENCH_OUT)/raw.json
	$(VPY) benchmarks/report.py $(BENCH_OUT)/raw.json $(BENCH_OUT)

venv: $(VENV)/.venv-stamp

$(VENV)/.venv-stamp:
	@py=$$(tools/find-python) && echo "Using $$py" && "$$py" -m venv $(VENV)
	$(VPY) -m pip install $(PIP_FLAGS) --upgrade pip
	@touch $@

install: $(STAMP)

$(STAMP): $(VENV)/.venv-stamp $(SOURCES)
	$(VPY) -m pip install $(PIP_FLAGS) '.[test]' $(BUILD_OPTS)
	@touch $@

# The test suite against modules built with AddressSanitizer and
# UndefinedBehaviorSanitizer; the first report aborts the run.
# HYPOTHESIS_PROFILE=deep runs the property tests longer.
HYPOTHESIS_PROFILE ?= fast
SAN_VENV   := .venv-sanitize
SAN_ENV    := KORVANE_SANITIZED=1 KORVANE_HYPOTHESIS=$(HYPOTHESIS_PROFILE) PYTHONMALLOC=malloc \
              LD_PRELOAD=$$(g++ -print-file-name=libasan.so) \
              ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:strict_string_checks=1 \
              UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

sanitize: $(VENV)/.venv-stamp
	@[ -x $(SAN_VENV)/bin/python ] || { py=$$(tools/find-python) && "$$py" -m venv $(SAN_VENV); }
	$(SAN_VENV)/bin/python -m pip install $(PIP_FLAGS) '.[test]' -C cmake.define.KORVANE_SANITIZE=ON \
	    -C cmake.build-type=RelWithDebInfo -C build-dir=build/sanitize
	$(SAN_ENV) $(SAN_VENV)/bin/python -m pytest -q -p no:cacheprovider tests

# The sanitizer run with the long hypothesis profile.
check-deep:
	$(MAKE) sanitize HYPOTHESIS_PROFILE=deep

# In-place build of one module (M=lockfree_core) into src/, for PYTHONPATH=src.
dev: $(VENV)/.venv-stamp
	cmake -S . -B build/dev-$(M) -G Ninja -DKORVANE_INPLACE=ON -DKORVANE_WERROR=ON \
	    -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	cmake --build build/dev-$(M) --target $(M)

clean:
	rm -rf build $(VENV) $(SAN_VENV) .pytest_cache .benchmarks .hypothesis
	find src -name '*.so' -delete
