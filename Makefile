# make test  -- set everything up on a fresh machine, then run the whole suite
# make demo  -- the same set-up, then the demonstration
# PYTHON=... overrides the interpreter the venv is made from (CPython 3.12).

PYTHON ?= $(shell tools/find-python)
VENV   := .venv
VPY    := $(VENV)/bin/python
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

SOURCES := pyproject.toml CMakeLists.txt $(shell find src -type f ! -name '*.pyc')
CLIENTS := $(shell find tests/clients -maxdepth 1 -type f)
PYTEST_ARGS ?=

.PHONY: all setup test demo stress bench test-asan clean system

all: setup

EXAMPLES := $(shell find examples -mindepth 2 -type f ! -path '*/build/*' ! -name '*.c' ! -name '*.so')

setup: system $(VENV)/.pkg $(VENV)/.clients $(VENV)/.examples

# Debian packages the suite needs (gdb for the crash inspector).
system:
	@tools/setup-system

$(VENV)/.deps: requirements-dev.txt
	@test -n "$(PYTHON)" || { echo "no CPython 3.12 found; set PYTHON=..."; exit 1; }
	test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt
	touch $@

$(VENV)/.pkg: $(VENV)/.deps $(SOURCES)
	$(VPY) -m pip install -q --no-build-isolation --no-deps .
	touch $@

$(VENV)/.clients: $(VENV)/.pkg $(CLIENTS)
	cd tests/clients && ../../$(VPY) setup.py -q build_ext --build-lib build --build-temp build/tmp
	touch $@

# The examples build against the installed package only, as a user's would.
$(VENV)/.examples: $(VENV)/.pkg $(EXAMPLES)
	rm -rf examples/*/build
	$(VPY) -m pip install -q --no-build-isolation --no-deps \
		./examples/cpp_module ./examples/cython_module ./examples/pybind11_module
	touch $@

test: setup
	$(VPY) -m pytest $(PYTEST_ARGS)

stress: setup
	$(VPY) -m pytest -m stress $(PYTEST_ARGS)

demo: setup
	$(VPY) examples/demo.py

# Benchmarks: ratios against comparisons measured in the same run.
bench: setup
	benchmarks/run

# The suite against AddressSanitizer/UndefinedBehaviorSanitizer builds.
test-asan: setup
	tools/test-asan

clean:
	rm -rf build tests/clients/build $(VENV)
