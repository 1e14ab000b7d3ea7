# Every interpreter and dependency set gets a virtual environment of its own,
# .venv/<python>-<deps>, rebuilt whenever its requirement files or
# pyproject.toml change.
#   make demo [DB=path.duckdb]      set up and run the repair on a demo database
#   make check                      the quick check: the module built from source,
#                                   the whole suite on CHECK_PYTHON, newest dependencies
#   make test                       what CI runs: every wheel built and tested where
#                                   it runs, the test-only builds, the emulated boards
#                                   (JOBS=1: one part at a time; two by default)
#   make test-one PYTHON=python3.12 [DEPS=newest|oldest|bullseye]   one combination
#   make wheels                     the sdist and every wheel, repaired and checked, in dist/
#   make aarch64 | armhf [SUITES=bullseye|bookworm|trixie]   the ARM wheels under emulation
#   make duckdb-armhf [SUITES=...]  duckdb for armhf from its sources, cached
#                                   outside the work tree (scripts/duckdb-armhf)
#   make armhf-duckdb2              the armv7l wheels of bookworm and trixie
#                                   against duckdb 2.x built for armhf
#   make bench [BENCH_ARGS=--10m]   speed and memory against the floor
#   make leakcheck | asan           reference and memory growth over many calls;
#                                   the suite under ASan
#   make sweep | coverage           every call into the host failing in turn, on the
#                                   test-only build; line and branch coverage of the
#                                   suite, the fault tests and the sweep, with floors
#   make faults                     the fault tests alone (kills, full disks, ...)
#   make leakcheck-proof | sweep-proof | faults-proof
#                                   each check against builds with a deliberate
#                                   fault (scripts/proof)
# test and test-one install the wheels from dist/; check, demo, bench,
# leakcheck, asan, faults and the proofs build the module from source (for
# python3.14 and python3.15 from Debian's root, which has no compiler, they
# install the wheel built for it; the proofs and ASan need an interpreter
# of the machine).
PYTHON ?= python3.9
DEPS ?= newest
ENV := $(notdir $(PYTHON))-$(DEPS)
VENV ?= .venv/$(ENV)
# Interpreters the machine lacks run in a private Debian root: RUN goes
# before every command that runs in this environment (empty otherwise).
RUN := $(shell scripts/find-python --runner $(PYTHON))
PY := $(strip $(RUN) $(VENV)/bin/python)
PYTEST_ARGS ?=
MATRIX ?= python3.9:oldest python3.9:newest python3.9:bullseye python3.10:newest \
          python3.11:oldest python3.11:newest python3.12:newest python3.13:newest \
          python3.14:oldest python3.14:newest python3.15:newest
# The combinations whose test-one also runs the fault tests: the oldest
# duckdb line (1.x, here with Debian bullseye's numpy and pandas,
# requirements/bullseye.txt) and the newest (2.x).
FAULTS_ON ?= python3.9-bullseye python3.13-newest
# The combinations whose test-one also runs the power-cut simulation
# (tests/powercut): the oldest duckdb (1.0.0) and the newest (2.x).
POWERCUT_ON ?= python3.9-oldest python3.13-newest
# The combinations whose test-one also runs the quick leak check (about a
# minute and a half of CPU): one per interpreter, the oldest duckdb on 3.9.
LEAKCHECK_ON ?= python3.9-oldest python3.10-newest python3.11-newest python3.12-newest \
                python3.13-newest python3.14-newest python3.15-newest
# The test-only builds in make test (make coverage, make sweep, below): the
# coverage run, with the sweep in it, on the oldest duckdb and pandas (whose
# frames take the most of the shortcut's paths), the sweep alone on the
# newest; and the floors of make coverage, in per cent.
COVERAGE_ON ?= python3.9:oldest
SWEEP_ON ?= python3.13:newest
COVERAGE_LINES ?= 98.5
COVERAGE_BRANCHES ?= 92
# The emulated runs: whether make test includes them, the Debian suites
# whose Python they run (bullseye's 3.9, bookworm's 3.11, trixie's 3.13),
# and extra pytest arguments for each.
AARCH64 ?= yes
ARMHF ?= yes
SUITES ?= bullseye bookworm trixie
AARCH64_PYTEST_ARGS ?=
ARMHF_PYTEST_ARGS ?=
# How many test parts of make test run at once (each combination of the
# matrix, each ARM suite); each uses about one core.  A duckdb build for
# armhf that is not cached yet runs beside them at the lowest priority, in
# a slot of its own.
JOBS ?= 2

# Release files.  Every wheel is built from the sdist: x86_64 for each
# interpreter, the ARM ones cross-built for the Python of each Debian suite.
VERSION := $(shell sed -n 's/^version = "\(.*\)"/\1/p' pyproject.toml)
SDIST := dist/velmora_pipeline_patch_eus-$(VERSION).tar.gz
WHEEL_PYTHONS := python3.9 python3.10 python3.11 python3.12 python3.13 python3.14 python3.15
ARM_ARCHES := aarch64 armv7l
ARM_SUITES := bullseye bookworm trixie
ARM_WHEELS := $(foreach a,$(ARM_ARCHES),$(foreach s,$(ARM_SUITES),$(a)-$(s)))
suite_python = $(if $(filter bullseye,$(1)),3.9,$(if $(filter bookworm,$(1)),3.11,3.13))
# The oldest manylinux policy the build reaches; a wheel that needs more fails.
MANYLINUX ?= manylinux_2_17
RELEASE_PYTHON ?= python3.11
RELEASE := .venv/release/bin/python
SOURCES := CMakeLists.txt pyproject.toml README.md $(shell find src cmake -type f)
WHEEL_SCRIPTS := scripts/cross-wheel scripts/debian-root.sh scripts/repair-wheel \
                 scripts/wheel_tags.py
WHEELS_DONE := $(WHEEL_PYTHONS:%=build/wheels/x86_64-%.done) $(ARM_WHEELS:%=build/wheels/%.done)

.PHONY: all venv install install-source install-wheel wheels test test-parts test-one \
        aarch64 armhf duckdb-armhf demo check bench leakcheck leakcheck-proof asan clean
# Stamps made by pattern rules stay.
.SECONDARY:

all: test

# new_venv PYTHON,DIR,REQUIREMENTS...: a fresh virtual environment of that
# interpreter in DIR with the requirements installed, stamped DIR/.ready
# (find-python prints the runner into a private root with the interpreter,
# and RUN goes before the environment's own commands).
define new_venv
	@interp=$$(scripts/find-python $(1)) && echo "using $$interp for $(2)" && \
	    $$interp -m venv --clear $(2)
	$(strip $(RUN) $(2)/bin/python) -m pip install --quiet --upgrade pip
	$(strip $(RUN) $(2)/bin/python) -m pip install --quiet $(foreach r,$(3),-r $(r))
	touch $(2)/.ready
endef

$(VENV)/.ready: requirements/$(DEPS).txt requirements/tools.txt pyproject.toml
	$(call new_venv,$(PYTHON),$(VENV),requirements/tools.txt requirements/$(DEPS).txt)

venv: $(VENV)/.ready

# What prints the environment's versions, and the wheel's tags if one is
# installed.
VERSIONS := import sys, duckdb, pandas, numpy; from importlib import metadata; \
    d = metadata.distribution("velmora-pipeline-patch-eus"); \
    tags = [l.split()[1] for l in (d.read_text("WHEEL") or "").splitlines() if l.startswith("Tag:")]; \
    print("%s: Python %s, duckdb %s, pandas %s, numpy %s%s" % ("$(ENV)", sys.version.split()[0], \
    duckdb.__version__, pandas.__version__, numpy.__version__, \
    "; wheel tagged " + ", ".join(tags) if tags else ""))

install: $(if $(RUN),install-wheel,install-source)

install-source: venv
	$(PY) -m pip install --quiet --no-build-isolation \
	    --config-settings=build-dir=build/$(ENV) .
	@$(PY) -c '$(VERSIONS)'

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
	@$(PY) -c '$(VERSIONS)'

.venv/release/.ready: RUN :=
.venv/release/.ready: requirements/release.txt requirements/build.txt
	$(call new_venv,$(RELEASE_PYTHON),.venv/release,requirements/release.txt)

.venv/build-%/.ready: RUN :=
.venv/build-%/.ready: requirements/build.txt
	$(call new_venv,$*,.venv/build-$*,requirements/build.txt)

wheels: $(SDIST) $(WHEELS_DONE)
	@ls -1 dist

$(SDIST): $(SOURCES) .venv/release/.ready
	@mkdir -p build
	rm -f dist/*.tar.gz
	$(RELEASE) -m build --sdist --no-isolation --outdir dist . > build/sdist.log 2>&1 \
	    || { cat build/sdist.log; exit 1; }

# An interpreter of the machine builds its own wheel; one that runs in
# Debian's root (which has no compiler) gets its wheel built here, by the
# machine's compiler against the root's headers, as the ARM wheels are.
build/wheels/x86_64-%.done: $(SDIST) .venv/release/.ready $(WHEEL_SCRIPTS)
	rm -rf build/wheels/x86_64-$*
	@if [ -z "$$(scripts/find-python --runner $*)" ]; then \
	    $(MAKE) --no-print-directory .venv/build-$*/.ready && \
	    echo ".venv/build-$*/bin/python -m pip wheel ... $(SDIST)" && \
	    .venv/build-$*/bin/python -m pip wheel --quiet --no-deps --no-build-isolation \
	        --wheel-dir build/wheels/x86_64-$* $(SDIST); \
	else \
	    echo "scripts/cross-wheel sid x86_64 $(*:python%=%) ..." && \
	    scripts/cross-wheel sid x86_64 $(*:python%=%) $(SDIST) build/wheels/x86_64-$* $(RELEASE); \
	fi
	scripts/repair-wheel build/wheels/x86_64-$*/*.whl $(RELEASE) $(MANYLINUX)
	touch $@

$(ARM_WHEELS:%=build/wheels/%.done): build/wheels/%.done: $(SDIST) .venv/release/.ready $(WHEEL_SCRIPTS)
	scripts/cross-wheel $(lastword $(subst -, ,$*)) $(firstword $(subst -, ,$*)) \
	    $(call suite_python,$(lastword $(subst -, ,$*))) $(SDIST) build/wheels/$* $(RELEASE)
	scripts/repair-wheel build/wheels/$*/*.whl $(RELEASE) $(MANYLINUX)
	touch $@

# duckdb for armhf, one suite after the other (they share the build tree),
# bullseye's first: its build compiles the engine, which the compiler cache
# then serves to the other two.  Each is a moment's work once cached.
duckdb-armhf: $(SUITES:%=duckdb-armhf-%)
duckdb-armhf-bullseye:
	scripts/duckdb-armhf bullseye
duckdb-armhf-bookworm: | $(if $(filter bullseye,$(SUITES)),duckdb-armhf-bullseye)
	scripts/duckdb-armhf bookworm
duckdb-armhf-trixie: | $(if $(filter bookworm,$(SUITES)),duckdb-armhf-bookworm,$(if \
                         $(filter bullseye,$(SUITES)),duckdb-armhf-bullseye))
	scripts/duckdb-armhf trixie
.PHONY: duckdb-armhf-bullseye duckdb-armhf-bookworm duckdb-armhf-trixie

# The module on bookworm's and trixie's armhf against duckdb 2.x (the
# README's other build for boards, requirements/duckdb-armhf.txt), built
# here when not cached; not part of make test (a build of its own, about
# 45 CPU-minutes with nothing cached).
DUCKDB2 := $(shell sed -n 's/^duckdb==\(2[^ ]*\) .*/\1/p' requirements/duckdb-armhf.txt)
armhf-duckdb2: build/wheels/armv7l-bookworm.done build/wheels/armv7l-trixie.done
	scripts/duckdb-armhf --duckdb $(DUCKDB2) bookworm
	scripts/duckdb-armhf --duckdb $(DUCKDB2) trixie
	@$(call arm_suites,bookworm trixie,armv7l,$(ARMHF_PYTEST_ARGS),--duckdb $(DUCKDB2))
.PHONY: armhf-duckdb2

# The parts of make test, longest first, so that the others share the
# cores meanwhile.
ARM_PARTS := $(if $(filter yes,$(AARCH64)),$(SUITES:%=check-aarch64-%)) \
             $(if $(filter yes,$(ARMHF)),$(SUITES:%=check-armhf-%))
BUILD_PARTS := $(subst :,-,$(COVERAGE_ON:%=check-coverage-%) $(SWEEP_ON:%=check-sweep-%))
TEST_PARTS := $(ARM_PARTS) $(BUILD_PARTS) $(subst :,-,$(MATRIX:%=check-%))
DUCKDB_PARTS := $(if $(filter yes,$(ARMHF)),$(SUITES:%=duckdb-armhf-%))

# The wheels are built first, two at a time, with the duckdb builds already
# going beside them.
test:
	@rm -rf build/results && mkdir -p build/results; started=$$(date +%s); \
	jobs=$(JOBS); for suite in $(if $(DUCKDB_PARTS),$(SUITES)); do \
	    scripts/duckdb-armhf --cached $$suite >/dev/null 2>&1 || { jobs=$$(($(JOBS) + 1)); break; }; done; \
	$(MAKE) --no-print-directory -k -j$$jobs --output-sync=target test-parts; \
	failed=""; for part in $(TEST_PARTS:check-%=%); do \
	    [ -f build/results/$$part.passed ] || failed="$$failed $$part"; done; \
	echo "=== tests took $$(($$(date +%s) - started)) s"; \
	if [ -n "$$failed" ]; then echo "FAILED:$$failed"; exit 1; fi; \
	echo "all passed:$(TEST_PARTS:check-%= %)"

# Each part records whether it passed in build/results/; make test sums up.
test-parts: $(DUCKDB_PARTS) wheels $(TEST_PARTS)

# part NAME,COMMAND: one part of make test, timed, recording in
# build/results/ whether it passed.
define part
	@at=$$(date +%s); echo "=== $(1)"; \
	if $(2); then touch build/results/$(1).passed; fi; \
	echo "=== $(1): $$(($$(date +%s) - at)) s"
endef

check-python%: wheels
	$(call part,python$*,$(MAKE) --no-print-directory test-one PYTHON=$(firstword $(subst -, ,python$*)) DEPS=$(lastword $(subst -, ,$*)))

# The test-only builds build from source: they need no wheel.
check-coverage-% check-sweep-%:
	$(call part,$(word 2,$(subst -, ,$@))-$*,$(MAKE) --no-print-directory $(word 2,$(subst -, ,$@)) PYTHON=$(firstword $(subst -, ,$*)) DEPS=$(lastword $(subst -, ,$*)))

check-aarch64-%: wheels
	$(call part,aarch64-$*,scripts/arm-check $* aarch64 $(RELEASE) $(AARCH64_PYTEST_ARGS))

check-armhf-%: wheels duckdb-armhf-%
	$(call part,armhf-$*,scripts/arm-check $* armv7l $(RELEASE) $(ARMHF_PYTEST_ARGS))

test-one: install-wheel
	$(if $(filter $(ENV),$(LEAKCHECK_ON)),$(PY) scripts/leakcheck.py --quick)
	$(PY) -m pytest tests $(PYTEST_ARGS)
	$(if $(filter $(ENV),$(FAULTS_ON)),$(PY) -m pytest tests/faults $(PYTEST_ARGS))
	$(if $(filter $(ENV),$(POWERCUT_ON)),$(NEED_STRACE) && $(PY) -m pytest tests/powercut $(PYTEST_ARGS))

# arm_suites SUITES,ARCH,PYTEST_ARGS[,--duckdb VERSION]: scripts/arm-check
# for each suite, failing if any failed.
arm_suites = status=0; for suite in $(1); do \
    scripts/arm-check $(4) $$suite $(2) $(RELEASE) $(3) || status=1; done; exit $$status

aarch64: $(SUITES:%=build/wheels/aarch64-%.done)
	@$(call arm_suites,$(SUITES),aarch64,$(AARCH64_PYTEST_ARGS))

armhf: $(SUITES:%=build/wheels/armv7l-%.done) duckdb-armhf
	@$(call arm_suites,$(SUITES),armv7l,$(ARMHF_PYTEST_ARGS))

demo: install
	$(PY) scripts/demo.py $(DB)

# The quick check, a few minutes: the module from source, the whole suite.
CHECK_PYTHON ?= python3.13
check:
	@$(MAKE) --no-print-directory install-source PYTHON=$(CHECK_PYTHON) DEPS=newest
	.venv/$(CHECK_PYTHON)-newest/bin/python -m pytest tests -q $(PYTEST_ARGS)

bench: install
	$(PY) scripts/bench.py $(BENCH_ARGS)

leakcheck: install
	$(PY) scripts/leakcheck.py

leakcheck-proof: install
	$(PY) scripts/proof leakcheck $(PY)

asan: install
	$(PY) scripts/asan-check $(PY)

clean:
	rm -rf .venv build dist

# The test-only builds, from source into environments of their own: with
# failure injection (tests/injection), for the failure sweep of
# tests/sweep; and with coverage counts too, for make coverage, which runs
# the whole suite, the fault tests and the sweep and reports line and branch
# coverage (build/coverage/index.html), failing below the floors.  make test
# runs both (COVERAGE_ON, SWEEP_ON above).
TEST_BUILD = .venv/$(1)-$(ENV)
# test_build KIND,CMAKE DEFINES: the module built so into its environment.
define test_build
	@$(MAKE) --no-print-directory venv VENV=$(call TEST_BUILD,$(1))
	$(call TEST_BUILD,$(1))/bin/python -m pip install --quiet --no-build-isolation \
	    --config-settings=build-dir=build/$(1)-$(ENV) \
	    $(foreach d,$(2),--config-settings=cmake.define.$(d)=ON) .
	@$(call TEST_BUILD,$(1))/bin/python -c '$(VERSIONS)'
endef
.PHONY: sweep sweep-proof coverage
sweep:
	$(call test_build,sweep,PATCH_EUS_INJECT)
	$(call TEST_BUILD,sweep)/bin/python -m pytest tests/sweep $(PYTEST_ARGS)

# The sweep against builds with a deliberate fault in their failure
# handling each (scripts/proof sweep); they are built apart, the sweep's
# environment only runs them.
sweep-proof:
	@$(MAKE) --no-print-directory venv VENV=$(call TEST_BUILD,sweep)
	$(call TEST_BUILD,sweep)/bin/python scripts/proof sweep $(call TEST_BUILD,sweep)/bin/python

coverage:
	@$(MAKE) --no-print-directory venv VENV=$(call TEST_BUILD,coverage)
	$(call TEST_BUILD,coverage)/bin/python -m pip install --quiet -r requirements/coverage.txt
	$(call test_build,coverage,PATCH_EUS_INJECT PATCH_EUS_COVERAGE)
	find build/coverage-$(ENV) -name '*.gcda' -delete
	@status=0; for part in tests tests/faults tests/sweep; do \
	    $(call TEST_BUILD,coverage)/bin/python -m pytest $$part $(PYTEST_ARGS) || status=1; done; \
	$(call TEST_BUILD,coverage)/bin/python scripts/coverage-report.py build/coverage-$(ENV) \
	    build/coverage $(COVERAGE_LINES) $(COVERAGE_BRANCHES) || status=1; \
	exit $$status

# The fault tests (tests/faults: kills, full disks, locks, unwritable and
# damaged files, a minute or two) run only when named: here, and in make
# test on the combinations FAULTS_ON names.
.PHONY: faults faults-proof
faults: install
	$(PY) -m pytest tests/faults $(PYTEST_ARGS)

faults-proof: install
	$(PY) scripts/proof faults $(PY)

# Power cuts (tests/powercut): the repair's file operations recorded by an
# LD_PRELOAD library (built by the tests with the machine's gcc), and every
# state a power cut between two of them could leave checked in a child
# process.  make test runs them in test-one on the combinations POWERCUT_ON
# names (the oldest and the newest duckdb); make powercut runs them on a
# build from source; make powercut-long runs the simulator with more states
# and a larger table (POWERCUT_LONG_ARGS); make powercut-armhf compares the
# sync calls of duckdb built for armhf, under qemu, with x86_64's.
POWERCUT_LONG_ARGS ?= --firms 2000 --samples 100 --sectors
# The record is held against strace's view of the same run: apt's strace
# when it is missing.
NEED_STRACE = bash -c 'source scripts/debian-root.sh && need strace strace'
.PHONY: powercut powercut-long powercut-armhf
powercut: install
	$(NEED_STRACE) && $(PY) -m pytest tests/powercut $(PYTEST_ARGS)
powercut-long: install
	nice $(PY) tests/powercut/powercut.py $(POWERCUT_LONG_ARGS)
powercut-armhf: .venv/release/.ready duckdb-armhf-bullseye
	scripts/powercut-armhf $(RELEASE)
