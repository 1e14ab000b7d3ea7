# Every interpreter and dependency set gets a virtual environment of its own,
# .venv/<python>-<deps>, rebuilt whenever its requirement files or
# pyproject.toml change:
#   make test                       set up and test every supported combination,
#                                   then the armhf build under emulation
#   make test-one PYTHON=python3.12 [DEPS=newest|oldest]   ... one of them
#   make demo [DB=path.duckdb]      set up and run the repair on a demo database
#   make bench [BENCH_ARGS=--10m]   speed figures, up to 10M rows with the flag
#   make leakcheck | asan           reference and memory growth
#                                   over many calls; the suite under ASan
#   make leakcheck-proof            the leak check against deliberately leaking builds
#   make armhf                      cross-build for 32-bit ARM and check it under qemu
PYTHON ?= python3.9
DEPS ?= newest
ENV := $(notdir $(PYTHON))-$(DEPS)
VENV ?= .venv/$(ENV)
PY := $(VENV)/bin/python
PYTEST_ARGS ?=
MATRIX ?= python3.9:oldest python3.9:newest python3.10:newest python3.11:oldest \
          python3.11:newest python3.12:newest python3.13:newest
ARMHF ?= yes

.PHONY: all venv install test test-one demo bench leakcheck leakcheck-proof asan armhf clean

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

test:
	@failed=""; for combo in $(MATRIX); do \
	    python=$${combo%%:*}; deps=$${combo##*:}; \
	    echo "=== $$python, $$deps dependencies"; \
	    $(MAKE) --no-print-directory test-one PYTHON=$$python DEPS=$$deps || failed="$$failed $$combo"; \
	done; \
	if [ "$(ARMHF)" = yes ]; then \
	    echo "=== armhf (32-bit ARM) under emulation"; \
	    scripts/armhf-check || failed="$$failed armhf"; \
	fi; \
	if [ -n "$$failed" ]; then echo "FAILED:$$failed"; exit 1; fi; \
	echo "all passed: $(MATRIX)$(if $(filter yes,$(ARMHF)), armhf)"

test-one: install
	$(PY) scripts/leakcheck.py --quick
	$(PY) -m pytest tests $(PYTEST_ARGS)
	$(if $(filter python3.9-newest,$(ENV)),$(PY) -m pytest tests/faults $(PYTEST_ARGS))

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

armhf:
	scripts/armhf-check

clean:
	rm -rf .venv build

# The fault tests (tests/faults: kills, full disks, locks, unwritable and
# damaged files, about a minute and a half) run only when named: here, and
# in make test on the one combination the hook in test-one names.
.PHONY: faults faults-proof
faults: install
	$(PY) -m pytest tests/faults $(PYTEST_ARGS)

faults-proof: install
	scripts/faults-proof $(PY)
