# korvane: build, demo, tests and benchmarks in local virtual environments.
#
#   make demo      set up .venv with the build tools, build and install the package, run the tour
#   make test      set up .venv with the build and test tools, rebuild what changed, run the tests
#                  (T="..." passes pytest arguments: T="-k tree", T=tests/test_leaks.py;
#                  JOBS=2 runs two pytest workers)
#   make test-debian
#                  the tests on Debian unstable's CPython 3.15, 3.14 and 3.13, in a Debian
#                  unstable root kept in ~/.cache/korvane/sid (made on first use by
#                  tools/debian-root)
#   make check-ft-headers
#                  every module compiled (syntax and warnings, -Werror) against Debian's 3.14
#                  and 3.15 headers configured as free-threaded 3.14t and 3.15t, in that root;
#                  no 3.14t or 3.15t interpreter runs here
#   make bench     the same with the benchmark tools; the comparison table, its JSON and
#                  a chart land in build/bench/
#   make wheel     sdist and manylinux wheels in dist/ (cp313 and cp313t here, cp314 and cp315
#                  in the Debian root), checked, then the tests against each wheel installed
#                  in a fresh venv, run from outside the source tree
#   make clang     the tests against a clang build (in .venv-clang)
#   make sanitize  the tests against AddressSanitizer and UBSan builds (in .venv-sanitize)
#   make sanitize-ft
#                  the same on free-threaded CPython 3.13t with the GIL off (in .venv-ft-sanitize)
#   make test-ft   the tests on free-threaded CPython 3.13t with the GIL off (in .venv-ft;
#                  the interpreter comes from tools/build-python-ft, or $PYTHON_FT)
#   make bench-ft  benchmarks on 3.13t with the GIL off, beside cereggii and ft_utils, in
#                  build/bench-ft/, with their checks next to those of the last make bench
#   make tsan      the tests that start threads, against ThreadSanitizer builds of 3.13t
#                  and of the package (in .venv-tsan)
#   make coverage  the tests against a gcov build (in .venv-coverage); line and branch
#                  report of the C++ in build/coverage/
#   make dev M=x   in-place build of one module (every module without M) for PYTHONPATH=src
#
# The rebuild loop. `make demo`, `make test`, `make bench`, `make clang` and
# `make sanitize` install with pip without build isolation, each venv from its
# own persistent CMake build folder under build/, with scikit-build-core, CMake
# and Ninja from the venv's `build` dependency group (`make demo` and
# `make test` share .venv and build/venv: after one, the other compiles
# nothing). CMake configures once and Ninja recompiles only the modules whose
# sources changed; with nothing changed the stamp below skips pip altogether.
# An editable install that rebuilds on import would be as quick, but the tests
# would then import the source tree, and a file left out of the installed
# package would go unnoticed. Stubs, py.typed and the package metadata are
# part of what triggers a reinstall.
#
# The project's own builds treat compiler warnings as errors (KORVANE_WERROR),
# `make demo` included; a user's `pip install` does not, so a newer compiler's
# new warning cannot break it. WARNINGS_AS_ERRORS=OFF builds as pip does; the
# build folder keeps the setting until it is given again.

VENV       := .venv
VPY        := $(VENV)/bin/python
STAMP      := $(VENV)/.korvane-stamp
SOURCES    := $(shell find src \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' -o -name '*.py' \
                  -o -name '*.pyi' -o -name py.typed \) -not -path '*/__pycache__/*') \
              CMakeLists.txt pyproject.toml README.md LICENSE
PIP_BASE   := --disable-pip-version-check --no-input
PIP_FLAGS  := $(PIP_BASE) -q
WARNINGS_AS_ERRORS ?= ON
WERROR     := -C cmake.define.KORVANE_WERROR=$(WARNINGS_AS_ERRORS)
# pip install options of a rebuild-loop install into build folder $(1).
LOOP_OPTS   = --no-build-isolation -C build-dir=build/$(1)
# The build folder of $(VENV): build/venv for .venv, build/venv-3.14 for .venv-3.14.
LOOP_DIR   := $(patsubst .venv%,venv%,$(notdir $(VENV)))
# pytest workers (pytest-xdist) of `make test` and the wheel tests; 0 runs the
# tests in the pytest process itself. Two workers spend about 10 s more CPU
# (each collects the suite), so they pay only where two cores are free: on a
# 2-core machine busy with other work they took 47-52 s against 39-48 s for
# one process. T adds pytest arguments.
JOBS       ?= 0
T          ?=
BENCH_OUT  := build/bench

.PHONY: demo test test-debian check-ft-headers check-ft-headers-here bench install wheel wheel-here clang sanitize \
        sanitize-ft coverage check-deep dev clean

# $(call venv,DIR,GROUPS): creates DIR as a venv of the interpreter
# tools/find-python picks (CPython 3.13 unless PYTHON names another supported
# one) with a current pip (dependency groups need pip 25.1) and installs the
# dependency groups.
define venv
	@[ -x $(1)/bin/python ] || { py=$$(tools/find-python) && echo "Using $$py" && "$$py" -m venv $(1); }
	$(1)/bin/python -m pip install $(PIP_FLAGS) --upgrade pip
	$(if $(2),$(1)/bin/python -m pip install $(PIP_FLAGS) $(foreach g,$(2),--group $(g)))
endef

demo: install
	$(VPY) -m korvane

test: $(VENV)/.test-stamp install
	$(VPY) -m pytest -q -n $(JOBS) $(T)

# The whole suite on Debian unstable's CPython 3.15, 3.14 and 3.13 (the last a
# build of 3.13 by another compiler and C library than this machine's): the
# working tree is copied into the root and built and tested there by this
# Makefile, each interpreter with its own venv and build folder, kept for the
# next run.
test-debian:
	tools/debian-root make test VENV=.venv-3.15 PYTHON=/usr/bin/python3.15 T='$(T)'
	tools/debian-root make test VENV=.venv-3.14 PYTHON=/usr/bin/python3.14 T='$(T)'
	tools/debian-root make test VENV=.venv-3.13 PYTHON=/usr/bin/python3.13 T='$(T)'

# Free-threaded 3.14t and 3.15t, compiled but not run: no interpreter of
# either can be had here, but their headers can, since a free-threaded build
# installs the same headers with Py_GIL_DISABLED defined in pyconfig.h. Each
# module is compiled against Debian's 3.14 and 3.15 headers with that macro
# defined and the flags of korvane_module() in CMakeLists.txt (keep the two in
# step), warnings as errors; -fsyntax-only instantiates every template but
# generates no code (7 s for both here). The default 3.15 build is compiled
# by test-debian and wheel.
FT_HEADER_VERSIONS := 3.14 3.15
FT_HEADER_FLAGS := -std=c++20 -fsyntax-only -Werror -Wall -Wextra -Wshadow -Wno-missing-field-initializers \
                   -Wno-cast-function-type -fno-exceptions -fvisibility=hidden -fvisibility-inlines-hidden \
                   -ffp-contract=off -DNDEBUG -DPy_GIL_DISABLED=1 -Isrc/frame -Isrc/korvane/include

check-ft-headers:
	tools/debian-root make check-ft-headers-here

check-ft-headers-here:
	@for v in $(FT_HEADER_VERSIONS); do \
	    inc=$$(python$$v -c 'import sysconfig; print(sysconfig.get_path("include"))') || exit 1; \
	    for f in $(sort $(shell find src/korvane -name '*.cpp')); do \
	        echo "$${v}t $$f"; \
	        $(CXX) $(FT_HEADER_FLAGS) -I"$$inc" "$$f" || exit 1; \
	    done; \
	done

bench: install $(VENV)/.bench-stamp
	@mkdir -p $(BENCH_OUT)
	$(VPY) -m pytest benchmarks -q -o python_files='bench_*.py' --benchmark-only --benchmark-group-by=group \
	    --benchmark-columns=min,median,mean,rounds --benchmark-sort=mean --benchmark-json=$(BENCH_OUT)/raw.json
	$(VPY) benchmarks/report.py $(BENCH_OUT)/raw.json $(BENCH_OUT)

$(VENV)/.venv-stamp:
	$(call venv,$(VENV))
	@touch $@

$(VENV)/.groups-stamp: $(VENV)/.venv-stamp pyproject.toml
	$(call venv,$(VENV),build)
	@touch $@

$(VENV)/.test-stamp: $(VENV)/.groups-stamp
	$(VPY) -m pip install $(PIP_FLAGS) --group test
	@touch $@

$(VENV)/.bench-stamp: $(VENV)/.groups-stamp
	$(VPY) -m pip install $(PIP_FLAGS) --group bench
	@touch $@

install: $(STAMP)

# Compiling every module takes about a minute; tools/build-progress shows
# each module as it is done (pip -q alone is silent meanwhile).
$(STAMP): $(VENV)/.groups-stamp $(SOURCES)
	tools/build-progress $(VPY) -m pip install $(PIP_BASE) $(call LOOP_OPTS,$(LOOP_DIR)) $(WERROR) .
	@touch $@

# Release artefacts. `python -m build` makes the sdist and builds the wheel
# from it, each in an isolated environment, so a file missing from the sdist
# or from build-system.requires fails here. auditwheel repairs the wheel to the
# oldest manylinux policy it meets; tools/check_wheel.py fails a policy newer
# than manylinux_2_28. The wheel is then installed into a fresh venv and
# tested from build/wheel-test, where the source tree cannot be imported.
# `wheel-here` does this for the interpreter of $(VENV); `wheel` for CPython
# 3.13 here, for its free-threaded build (wheel-ft, below) and for Debian's
# CPython 3.14 and 3.15 in the Debian root, whose wheels join dist/ (each
# wheel-here there starts from an empty dist/, so each wheel is copied out
# before the next is built).
WHEEL_VENV := build/wheel-venv

wheel:
	$(MAKE) --no-print-directory wheel-here
	$(MAKE) --no-print-directory wheel-ft
	tools/debian-root make wheel-here VENV=.venv-3.14 PYTHON=/usr/bin/python3.14
	cp "$$(tools/debian-root path)"/work/korvane/dist/*-cp314-*.whl dist/
	tools/debian-root make wheel-here VENV=.venv-3.15 PYTHON=/usr/bin/python3.15
	cp "$$(tools/debian-root path)"/work/korvane/dist/*-cp315-*.whl dist/
	@ls -l dist

wheel-here: $(VENV)/.wheel-stamp
	rm -rf dist build/dist-raw build/wheel-test $(WHEEL_VENV)
	$(VPY) -m build -q --outdir build/dist-raw $(WERROR) .
	PATH="$(abspath $(VENV))/bin:$$PATH" auditwheel repair -w dist build/dist-raw/*.whl
	cp build/dist-raw/*.tar.gz dist/
	$(VPY) tools/check_wheel.py dist/*.whl
	$(call venv,$(WHEEL_VENV),test)
	$(WHEEL_VENV)/bin/python -m pip install $(PIP_FLAGS) --no-deps dist/*.whl
	mkdir -p build/wheel-test
	cd build/wheel-test && ../wheel-venv/bin/python -m pytest -q -p no:cacheprovider -n $(JOBS) --rootdir=. $(CURDIR)/tests

$(VENV)/.wheel-stamp: $(VENV)/.groups-stamp
	$(VPY) -m pip install $(PIP_FLAGS) --group wheel
	@touch $@

# The tests against modules built by clang, with -Werror as well, and with
# record dicts built key by key (the path taken on other interpreter releases).
CLANG_VENV := .venv-clang

clang:
	$(call venv,$(CLANG_VENV),build test)
	$(CLANG_VENV)/bin/python -m pip install $(PIP_FLAGS) $(call LOOP_OPTS,clang) $(WERROR) \
	    -C cmake.define.CMAKE_CXX_COMPILER=clang++ -C cmake.define.KORVANE_DICTS_BY_KEY=ON .
	$(CLANG_VENV)/bin/python -m pytest -q -p no:cacheprovider tests

# The test suite against modules built with AddressSanitizer and
# UndefinedBehaviorSanitizer; the first report aborts the run.
# HYPOTHESIS_PROFILE=deep runs the property tests longer.
HYPOTHESIS_PROFILE ?= fast
SAN_VENV   := .venv-sanitize
SAN_ENV    := KORVANE_SANITIZED=1 KORVANE_HYPOTHESIS=$(HYPOTHESIS_PROFILE) PYTHONMALLOC=malloc \
              LD_PRELOAD=$$(g++ -print-file-name=libasan.so) \
              ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:strict_string_checks=1 \
              UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

sanitize:
	$(call venv,$(SAN_VENV),build test)
	$(SAN_VENV)/bin/python -m pip install $(PIP_FLAGS) $(call LOOP_OPTS,sanitize) -C cmake.define.KORVANE_SANITIZE=ON \
	    -C cmake.build-type=RelWithDebInfo .
	$(SAN_ENV) $(SAN_VENV)/bin/python -m pytest -q -p no:cacheprovider tests

# The same on free-threaded CPython 3.13t with the GIL off, where the races
# the probes set up (tests/test_races.py) meet the block index's poisoned
# record pool. The interpreter keeps its own allocator (it has no other).
SAN_FT_VENV := .venv-ft-sanitize

sanitize-ft:
	@[ -x $(SAN_FT_VENV)/bin/python ] || { py=$$(tools/build-python-ft) && echo "Using $$py" && "$$py" -m venv $(SAN_FT_VENV); }
	$(SAN_FT_VENV)/bin/python -m pip install $(PIP_FLAGS) --upgrade pip
	$(SAN_FT_VENV)/bin/python -m pip install $(PIP_FLAGS) --only-binary=:all: --group build --group test
	$(SAN_FT_VENV)/bin/python -m pip install $(PIP_FLAGS) $(call LOOP_OPTS,sanitize-ft) -C cmake.define.KORVANE_SANITIZE=ON \
	    -C cmake.build-type=RelWithDebInfo .
	$(FT_ENV) $(filter-out PYTHONMALLOC=malloc,$(SAN_ENV)) $(SAN_FT_VENV)/bin/python -m pytest -q -p no:cacheprovider \
	    $(or $(T),tests)

# Line and branch coverage of the C++ (modules and frame) over one run of the
# suite, from an unoptimised build with gcov counters; the counters of earlier
# runs are cleared first. The native clients the tests build (of the C API
# headers and the record dicts) are instrumented too, through
# KORVANE_TEST_COVERAGE_DIR. A line counts as run when any template instance
# of it ran. build/coverage/summary.txt has the totals,
# build/coverage/uncovered.txt each file's uncovered lines, index.html the
# annotated sources.
COV_VENV   := .venv-coverage
COV_OUT    := build/coverage
COV_BUILD  := coverage/build
GCOVR      := $(COV_VENV)/bin/gcovr --root . --filter 'src/' --gcov-executable gcov --merge-lines \
              --gcov-ignore-errors=source_not_found \
              $(COV_OUT)/build $(COV_OUT)/clients

coverage:
	$(call venv,$(COV_VENV),build test coverage)
	$(COV_VENV)/bin/python -m pip install $(PIP_FLAGS) $(call LOOP_OPTS,$(COV_BUILD)) $(WERROR) \
	    -C cmake.define.KORVANE_COVERAGE=ON .
	mkdir -p $(COV_OUT)/clients
	find $(COV_OUT) -name '*.gcda' -delete
	KORVANE_TEST_COVERAGE_DIR=$(abspath $(COV_OUT)/clients) \
	    $(COV_VENV)/bin/python -m pytest -q -p no:cacheprovider tests
	$(GCOVR) --txt $(COV_OUT)/uncovered.txt --html-details $(COV_OUT)/index.html \
	    --txt-summary --print-summary > $(COV_OUT)/summary.txt
	@cat $(COV_OUT)/summary.txt | tail -4

# The sanitizer run with the long hypothesis profile (tests/conftest.py sizes
# it): 10 minutes on this 2-core machine busy with other work (9m43s),
# and stopped as a failure after DEEP_MINUTES.
DEEP_MINUTES ?= 20

check-deep:
	timeout --foreground $$(( $(DEEP_MINUTES) * 60 )) $(MAKE) sanitize HYPOTHESIS_PROFILE=deep

# Free-threaded CPython 3.13t. tools/build-python-ft prints the interpreter,
# building it into ~/.cache/korvane on first use (about 15 minutes on 2 cores;
# $PYTHON_FT names one you already have). Some test tools publish no wheel for
# it in their newest versions and cannot be built from source here, so pip
# takes wheels only and settles on the newest versions that have one. The
# package builds in the rebuild loop like `make test`, into build/ft, and the
# suite runs with the GIL forced off, so that no import can turn it back on.
FT_VENV    := .venv-ft
FT_PY      := $(FT_VENV)/bin/python
FT_STAMP   := $(FT_VENV)/.korvane-stamp
FT_ENV     := PYTHON_GIL=0

.PHONY: test-ft install-ft wheel-ft bench-ft clean-ft

test-ft: install-ft
	$(FT_ENV) $(FT_PY) -m pytest -q $(T)

install-ft: $(FT_STAMP)

$(FT_VENV)/.groups-stamp: pyproject.toml
	@[ -x $(FT_PY) ] || { py=$$(tools/build-python-ft) && echo "Using $$py" && "$$py" -m venv $(FT_VENV); }
	$(FT_PY) -m pip install $(PIP_FLAGS) --upgrade pip
	$(FT_PY) -m pip install $(PIP_FLAGS) --only-binary=:all: --group build --group test
	@touch $@

$(FT_STAMP): $(FT_VENV)/.groups-stamp $(SOURCES)
	$(FT_PY) -m pip install $(PIP_FLAGS) $(call LOOP_OPTS,ft) $(WERROR) .
	@touch $@

# The cp313t wheel, made from the source tree by the free-threaded
# interpreter as `make wheel` makes the others, repaired and checked the same
# way, joins dist/; the suite then runs against it installed in a fresh
# free-threaded venv, from outside the source tree, with the GIL off.
FT_WHEEL_VENV := build/wheel-ft-venv

wheel-ft: $(FT_VENV)/.wheel-stamp
	rm -rf build/dist-ft-raw build/wheel-ft-test $(FT_WHEEL_VENV) dist/*-cp313t-*.whl
	$(FT_PY) -m build -q --wheel --outdir build/dist-ft-raw $(WERROR) .
	PATH="$(abspath $(FT_VENV))/bin:$$PATH" auditwheel repair -w dist build/dist-ft-raw/*.whl
	$(FT_PY) tools/check_wheel.py dist/*-cp313t-*.whl
	"$$(tools/build-python-ft)" -m venv $(FT_WHEEL_VENV)
	$(FT_WHEEL_VENV)/bin/python -m pip install $(PIP_FLAGS) --upgrade pip
	$(FT_WHEEL_VENV)/bin/python -m pip install $(PIP_FLAGS) --only-binary=:all: --group test
	$(FT_WHEEL_VENV)/bin/python -m pip install $(PIP_FLAGS) --no-deps dist/*-cp313t-*.whl
	mkdir -p build/wheel-ft-test
	cd build/wheel-ft-test && $(FT_ENV) ../wheel-ft-venv/bin/python -m pytest -q -p no:cacheprovider --rootdir=. \
	    $(CURDIR)/tests

$(FT_VENV)/.wheel-stamp: $(FT_VENV)/.groups-stamp
	$(FT_PY) -m pip install $(PIP_FLAGS) --only-binary=:all: --group wheel
	@touch $@

# Benchmarks with the GIL off: the single-thread counter groups, the
# contention groups and those only this build can show, beside cereggii and
# ft_utils; the report prints their checks and then those of the last
# `make bench` (the GIL build), when there is one.
FT_BENCH_OUT := build/bench-ft

bench-ft: install-ft $(FT_VENV)/.bench-stamp
	@mkdir -p $(FT_BENCH_OUT)
	$(FT_ENV) $(FT_PY) -m pytest -q -o python_files='bench_*.py' --benchmark-only --benchmark-group-by=group \
	    --benchmark-columns=min,median,mean,rounds --benchmark-sort=mean --benchmark-json=$(FT_BENCH_OUT)/raw.json \
	    benchmarks/bench_lockfree_core.py benchmarks/bench_contention.py benchmarks/bench_free_threaded.py
	$(FT_PY) benchmarks/report.py $(FT_BENCH_OUT)/raw.json $(FT_BENCH_OUT) --beside $(BENCH_OUT)/summary.json

$(FT_VENV)/.bench-stamp: $(FT_VENV)/.groups-stamp
	$(FT_PY) -m pip install $(PIP_FLAGS) --only-binary=:all: --group bench-ft
	@touch $@

clean: clean-ft
clean-ft:
	rm -rf $(FT_VENV) $(TSAN_VENV) $(SAN_FT_VENV)

# ThreadSanitizer: CPython 3.13t configured --with-thread-sanitizer
# (`tools/build-python-ft tsan`, built on first use and cached like the other)
# and the package built with -fsanitize=thread (KORVANE_TSAN). The tests run
# are those of every file that starts threads (TSAN_TESTS, or T). Reports go
# to files in build/tsan-reports (pytest would hide them in a test's captured
# output), are printed at the end and fail the run. Races inside the
# interpreter's own code that no korvane frame takes part in are listed in
# tools/tsan-suppressions.txt, each with its reason. Too slow for CI.
TSAN_VENV  := .venv-tsan
TSAN_PY    := $(TSAN_VENV)/bin/python
TSAN_TESTS := $(shell grep -l -w -E 'Thread|ThreadPoolExecutor' tests/test_*.py)
TSAN_LOGS  := build/tsan-reports
TSAN_ENV   := PYTHON_GIL=0 TSAN_OPTIONS="suppressions=$(CURDIR)/tools/tsan-suppressions.txt \
              log_path=$(CURDIR)/$(TSAN_LOGS)/report halt_on_error=0 second_deadlock_stack=1 history_size=4"

.PHONY: tsan

tsan: $(TSAN_VENV)/.groups-stamp
	$(TSAN_PY) -m pip install $(PIP_FLAGS) $(call LOOP_OPTS,tsan) $(WERROR) -C cmake.define.KORVANE_TSAN=ON \
	    -C cmake.build-type=RelWithDebInfo .
	rm -rf $(TSAN_LOGS) && mkdir -p $(TSAN_LOGS)
	$(TSAN_ENV) $(TSAN_PY) -m pytest -q -p no:cacheprovider $(or $(T),$(TSAN_TESTS)) || touch $(TSAN_LOGS)/failed
	@if ls $(TSAN_LOGS)/report.* >/dev/null 2>&1; then cat $(TSAN_LOGS)/report.*; \
	    echo "ThreadSanitizer reports: $(TSAN_LOGS)/"; exit 1; fi
	@[ ! -f $(TSAN_LOGS)/failed ]

$(TSAN_VENV)/.groups-stamp: pyproject.toml
	@[ -x $(TSAN_PY) ] || { py=$$(tools/build-python-ft tsan) && echo "Using $$py" && "$$py" -m venv $(TSAN_VENV); }
	$(TSAN_PY) -m pip install $(PIP_FLAGS) --upgrade pip
	$(TSAN_PY) -m pip install $(PIP_FLAGS) --only-binary=:all: --group build --group test
	@touch $@

# In-place build into src/ with the venv's CMake and Ninja (M=lockfree_core
# builds that module only).
dev: $(VENV)/.groups-stamp
	$(VENV)/bin/cmake -S . -B build/dev -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	    -DKORVANE_INPLACE=ON -DKORVANE_WERROR=ON -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	$(VENV)/bin/cmake --build build/dev $(if $(M),--target $(M))

clean:
	rm -rf build dist $(VENV) $(SAN_VENV) $(CLANG_VENV) $(COV_VENV) .pytest_cache .benchmarks .hypothesis
	find src -name '*.so' -delete
