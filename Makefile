# Every interpreter and dependency set gets a virtual environment of its own,
# .venv/<python>-<deps>, rebuilt whenever its requirement files or
# pyproject.toml change:
#   make wheels                     the sdist and every wheel, repaired and
#                                   checked, in dist/
#   make test                       make the wheels and test every one: each
#                                   x86_64 wheel in every supported combination,
#                                   the aarch64 wheel (real duckdb) and the armv7l
#                                   wheel (duckdb test double) under emulation
#   make test-one PYTHON=python3.12 [DEPS=newest|oldest]   ... one combination
#   make aarch64 | armhf            ... one ARM wheel under emulation
#   make test JOBS=1                ... every part one after the other (two at once by default)
#   make demo [DB=path.duckdb]      set up and run the repair on a demo database
#   make bench [BENCH_ARGS=--10m]   speed figures, up to 10M rows with the flag
#   make leakcheck | asan           reference and memory growth
#                                   over many calls; the suite under ASan
#   make leakcheck-proof            the leak check against deliberately leaking builds
#   make faults | faults-proof      the fault tests alone (make test runs them on
#                                   python3.9-newest); against a build that
#                                   inserts the patch in two statements
# test and test-one install the wheels from dist/; demo, bench, leakcheck,
# leakcheck-proof, asan, faults and faults-proof build the module from
# source into the environment.
PYTHON ?= python3.9
DEPS ?= newest
ENV := $(notdir $(PYTHON))-$(DEPS)
VENV ?= .venv/$(ENV)
PY := $(VENV)/bin/python
PYTEST_ARGS ?=
MATRIX ?= python3.9:oldest python3.9:newest python3.10:newest python3.11:oldest \
          python3.11:newest python3.12:newest python3.13:newest
# The emulated runs: whether make test includes them, and extra pytest
# arguments for each (a marker or path to leave out, say).
AARCH64 ?= yes
ARMHF ?= yes
AARCH64_PYTEST_ARGS ?=
ARMHF_PYTEST_ARGS ?=
# How many parts of make test run at once (the aarch64 suite, each
# combination of the matrix, the armhf checks); each uses about one core.
JOBS ?= 2

# Release files.  Every wheel is built from the sdist; x86_64 for each
# interpreter, the ARM ones cross-built for Debian bookworm's Python 3.11.
VERSION := $(shell sed -n 's/^version = "\(.*\)"/\1/p' pyproject.toml)
SDIST := dist/velmora_pipeline_patch_eus-$(VERSION).tar.gz
WHEEL_PYTHONS := python3.9 python3.10 python3.11 python3.12 python3.13
ARM_WHEELS := aarch64 armv7l
# The oldest manylinux policy the build reaches; a wheel that needs more fails.
MANYLINUX ?= manylinux_2_17
RELEASE_PYTHON ?= python3.11
RELEASE := .venv/release/bin/python
SOURCES := CMakeLists.txt pyproject.toml README.md $(shell find src cmake -type f)
WHEELS_DONE := $(WHEEL_PYTHONS:%=build/wheels/x86_64-%.done) $(ARM_WHEELS:%=build/wheels/%.done)

.PHONY: all venv install install-wheel wheels test test-parts test-one aarch64 armhf demo \
        bench leakcheck leakcheck-proof asan clean $(TEST_PARTS)
# Stamps made by pattern rules stay.
.SECONDARY:

all: test

$(VENV)/.ready: requirements/$(DEPS).txt requirements/tools.txt pyproject.toml
	@interp=$$(scripts/find-python $(PYTHON)) && echo "using $$interp" && \
	    "$$interp" -m venv --clear $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet -r requirements/tools.txt -r requirements/$(DEPS).txt
	touch $@

venv: $(VENV)/.ready

install: venv
	$(PY) -m pip install --quiet --no-build-isolation \
	    --config-settings=build-dir=build/$(ENV) .
	@$(PY) -c 'import sys, duckdb, pandas, numpy; print("%s: Python %s, duckdb %s, pandas %s, numpy %s" % ("$(ENV)", sys.version.split()[0], duckdb.__version__, pandas.__version__, numpy.__version__))'

# The wheel from dist/ for this interpreter; pip checks that its tags fit
# and brings the environment's dependencies into the ranges the wheel
# declares (numpy below 2 on 3.9, say), as installing from source did.
install-wheel: venv build/wheels/x86_64-$(notdir $(PYTHON)).done
	@if $(PY) -m pip show --quiet velmora-pipeline-patch-eus >/dev/null 2>&1; then \
	    $(PY) -m pip uninstall --quiet --yes velmora-pipeline-patch-eus; fi
	@abi=$$($(PY) -c 'import sys; print("cp%d%d" % sys.version_info[:2])') && \
	set -- dist/velmora_pipeline_patch_eus-$(VERSION)-$$abi-$$abi-*_x86_64.whl && \
	if [ ! -f "$$1" ] || [ $$# -ne 1 ]; then echo "no single $$abi x86_64 wheel in dist/" >&2; exit 1; fi && \
	echo "$(PY) -m pip install --quiet $$1" && $(PY) -m pip install --quiet "$$1"
	@$(PY) -c 'import sys, duckdb, pandas, numpy; from importlib import metadata; tags = [l.split()[1] for l in metadata.distribution("velmora-pipeline-patch-eus").read_text("WHEEL").splitlines() if l.startswith("Tag:")]; print("%s: Python %s, duckdb %s, pandas %s, numpy %s; wheel tagged %s" % ("$(ENV)", sys.version.split()[0], duckdb.__version__, pandas.__version__, numpy.__version__, ", ".join(tags)))'

.venv/release/.ready: requirements/release.txt requirements/build.txt
	@interp=$$(scripts/find-python $(RELEASE_PYTHON)) && "$$interp" -m venv --clear .venv/release
	$(RELEASE) -m pip install --quiet --upgrade pip
	$(RELEASE) -m pip install --quiet -r requirements/release.txt
	touch $@

.venv/build-%/.ready: requirements/build.txt
	@interp=$$(scripts/find-python $*) && "$$interp" -m venv --clear .venv/build-$*
	.venv/build-$*/bin/python -m pip install --quiet --upgrade pip
	.venv/build-$*/bin/python -m pip install --quiet -r requirements/build.txt
	touch $@

wheels: $(SDIST) $(WHEELS_DONE)
	@ls -1 dist

$(SDIST): $(SOURCES) .venv/release/.ready
	@mkdir -p build
	rm -f dist/*.tar.gz
	$(RELEASE) -m build --sdist --no-isolation --outdir dist . > build/sdist.log 2>&1 \
	    || { cat build/sdist.log; exit 1; }

build/wheels/x86_64-%.done: $(SDIST) .venv/build-%/.ready .venv/release/.ready \
                            scripts/repair-wheel scripts/wheel_tags.py
	rm -rf build/wheels/x86_64-$*
	.venv/build-$*/bin/python -m pip wheel --quiet --no-deps --no-build-isolation \
	    --wheel-dir build/wheels/x86_64-$* $(SDIST)
	scripts/repair-wheel build/wheels/x86_64-$*/*.whl $(RELEASE) $(MANYLINUX)
	touch $@

$(ARM_WHEELS:%=build/wheels/%.done): build/wheels/%.done: $(SDIST) .venv/release/.ready \
        scripts/cross-wheel scripts/debian-arm.sh scripts/repair-wheel scripts/wheel_tags.py
	scripts/cross-wheel $* $(SDIST) build/wheels/$* $(RELEASE)
	scripts/repair-wheel build/wheels/$*/*.whl $(RELEASE) $(MANYLINUX)
	touch $@

# The parts of make test, longest first, so that the others share the
# second core meanwhile.
TEST_PARTS := $(if $(filter yes,$(AARCH64)),check-aarch64) $(subst :,-,$(MATRIX:%=check-%)) \
              $(if $(filter yes,$(ARMHF)),check-armhf)

test: wheels
	@rm -rf build/results && mkdir -p build/results; started=$$(date +%s); \
	$(MAKE) --no-print-directory -j$(JOBS) --output-sync=target test-parts; \
	failed=""; for part in $(TEST_PARTS:check-%=%); do \
	    [ -f build/results/$$part.passed ] || failed="$$failed $$part"; done; \
	echo "=== tests took $$(($$(date +%s) - started)) s"; \
	if [ -n "$$failed" ]; then echo "FAILED:$$failed"; exit 1; fi; \
	echo "all passed:$(TEST_PARTS:check-%= %)"

# Each part records whether it passed in build/results/; make test sums up.
test-parts: $(TEST_PARTS)

check-python%:
	@at=$$(date +%s); combo=python$*; python=$${combo%-*}; deps=$${combo##*-}; \
	echo "=== $$python, $$deps dependencies"; \
	if $(MAKE) --no-print-directory test-one PYTHON=$$python DEPS=$$deps; then \
	    touch build/results/$$combo.passed; fi; \
	echo "=== $$python, $$deps dependencies: $$(($$(date +%s) - at)) s"

check-aarch64:
	@echo "=== aarch64 wheel under emulation (real duckdb)"; \
	if scripts/aarch64-check $(RELEASE) $(AARCH64_PYTEST_ARGS); then touch build/results/aarch64.passed; fi

check-armhf:
	@echo "=== armv7l wheel under emulation (duckdb test double)"; \
	if scripts/armhf-check $(ARMHF_PYTEST_ARGS); then touch build/results/armhf.passed; fi

test-one: install-wheel
	$(PY) scripts/leakcheck.py --quick
	$(PY) -m pytest tests $(PYTEST_ARGS)
	$(if $(filter python3.9-newest,$(ENV)),$(PY) -m pytest tests/faults $(PYTEST_ARGS))

aarch64: build/wheels/aarch64.done
	scripts/aarch64-check $(RELEASE) $(AARCH64_PYTEST_ARGS)

armhf: build/wheels/armv7l.done
	scripts/armhf-check $(ARMHF_PYTEST_ARGS)

demo: install
	$(PY) scripts/demo.py $(DB)

bench: install
	$(PY) scripts/bench.py $(BENCH_ARGS)

leakcheck: install
	$(PY) scripts/leakcheck.py

leakcheck-proof: install
	scripts/leakcheck-proof $(PY)

asan: install
	scripts/asan-check $(PY)

clean:
	rm -rf .venv build dist

# The fault tests (tests/faults: kills, full disks, locks, unwritable and
# damaged files, about a minute and a half) run only when named: here, and
# in make test on the one combination the hook in test-one names.
.PHONY: faults faults-proof
faults: install
	$(PY) -m pytest tests/faults $(PYTEST_ARGS)

faults-proof: install
	scripts/faults-proof $(PY)
