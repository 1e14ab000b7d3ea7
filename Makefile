# Everything runs in a virtual environment of its own per interpreter:
#   make test                   set up, build, install and run the tests (python3.9)
#   PYTHON=python3.11 make test the same against another interpreter
#   make demo                   set up and run the repair on a demo database
#   make demo DB=path.duckdb    ... or on a database file of your own
#   make bench | leakcheck | asan   speed figures, reference-count and memory
#                               growth over many calls, the suite under ASan
PYTHON ?= python3.9
VENV ?= .venv/$(notdir $(PYTHON))
PY := $(VENV)/bin/python
PYTEST_ARGS ?=

.PHONY: all venv install test demo bench leakcheck asan clean

all: test

$(VENV)/.ready:
	@interp=$$(scripts/find-python $(PYTHON)) && echo "using $$interp" && "$$interp" -m venv --clear $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet duckdb pandas pytest scikit-build-core cmake ninja
	touch $@

venv: $(VENV)/.ready

install: venv
	$(PY) -m pip install --quiet --no-build-isolation --no-deps \
	    --config-settings=build-dir=build/$(notdir $(PYTHON)) .

test: install
	$(PY) scripts/leakcheck.py --quick
	$(PY) -m pytest tests $(PYTEST_ARGS)

demo: install
	$(PY) scripts/demo.py $(DB)

bench: install
	$(PY) scripts/bench.py

leakcheck: install
	$(PY) scripts/leakcheck.py

asan: install
	scripts/asan-check $(PY)

clean:
	rm -rf .venv build
