# make test  -- set everything up on a fresh machine, then run the whole suite
# make demo  -- the same set-up, then the demonstration
# make dist  -- the sdist and a manylinux wheel for each supported CPython, in dist/
#
# PY=3.13 picks the CPython version (3.12 by default); each version has a
# venv of its own (.venv for 3.12, .venv-3.13 for 3.13), found on PATH or
# under pyenv. PYTHON=... overrides the interpreter the venv is made from.

VERSIONS := 3.12 3.13
PY       ?= 3.12
PYTHON   ?= $(shell tools/find-python $(PY))
VENV     := $(if $(filter 3.12,$(PY)),.venv,.venv-$(PY))
VPY      := $(VENV)/bin/python
CPTAG    := cp$(subst .,,$(PY))
VERSION  := $(shell sed -n 's/^version = "\(.*\)"$$/\1/p' pyproject.toml)
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

SOURCES := pyproject.toml CMakeLists.txt LICENSE README.md $(shell find src -type f ! -name '*.pyc')
CLIENTS := $(shell find tests/clients -maxdepth 1 -type f)
EXAMPLES := $(shell find examples -mindepth 2 -type f ! -path '*/build/*' ! -path '*.egg-info/*' ! -name '*.c' ! -name '*.so')
EXAMPLE_DIRS := $(patsubst %/pyproject.toml,./%,$(wildcard examples/*/pyproject.toml))
SDIST   := dist/talvex-$(VERSION).tar.gz
WHEEL   := build/dist/$(CPTAG).stamp
PYTEST_ARGS ?=

.PHONY: all setup test demo stress bench test-asan dist wheel sdist clean system

all: setup

setup: system $(VENV)/.pkg $(VENV)/.clients $(VENV)/.examples

# Debian packages the suite needs (binutils, for the stripped-interpreter test).
system:
	@tools/setup-system

$(VENV)/.deps: requirements-dev.txt
	@test -n "$(PYTHON)" || { echo "no CPython $(PY) found; set PYTHON=..."; exit 1; }
	@echo "make: $(VENV) for CPython $(PY), with the build and test tools of requirements-dev.txt (about a minute the first time)"
	test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt
	touch $@

# The wheel that users get: built, repaired to a manylinux tag, checked,
# and installed into the venv, so that the suite tests what is shipped.
$(WHEEL): $(VENV)/.deps $(SOURCES)
	@echo "make: building talvex for CPython $(PY): dist/talvex-$(VERSION)-$(CPTAG)-*.whl"
	rm -rf build/dist/$(CPTAG) dist/talvex-*-$(CPTAG)-*.whl
	$(VPY) -m pip wheel -q --no-build-isolation --no-deps -w build/dist/$(CPTAG) .
	$(VPY) -m auditwheel repair -w dist build/dist/$(CPTAG)/talvex-*.whl
	$(VPY) -m twine check --strict dist/talvex-*-$(CPTAG)-*.whl
	touch $@

# One sdist for all versions: whichever venv is at hand builds it.
$(SDIST): $(SOURCES) | $(VENV)/.deps
	@echo "make: building the source distribution $@"
	rm -f dist/talvex-*.tar.gz
	$(VPY) -m build -q --sdist --no-isolation --outdir dist .
	$(VPY) -m twine check --strict $@

# Then again with its dependencies, which the first command leaves out so
# as not to reinstall them each time: what pip install talvex brings.
$(VENV)/.pkg: $(WHEEL)
	@echo "make: installing the CPython $(PY) wheel into $(VENV)"
	$(VPY) -m pip install -q --no-deps --force-reinstall dist/talvex-*-$(CPTAG)-*.whl
	$(VPY) -m pip install -q dist/talvex-*-$(CPTAG)-*.whl
	touch $@

$(VENV)/.clients: $(VENV)/.pkg $(CLIENTS)
	@echo "make: building the test clients (tests/clients)"
	cd tests/clients && ../../$(VPY) setup.py -q build_ext --build-lib build --build-temp build/tmp-$(PY)
	touch $@

# The examples build against the installed package only, as a user's would.
$(VENV)/.examples: $(VENV)/.pkg $(EXAMPLES)
	@echo "make: building the example modules (examples/) against the installed package"
	rm -rf examples/*/build
	$(VPY) -m pip install -q --no-build-isolation --no-deps $(EXAMPLE_DIRS)
	touch $@

wheel: $(WHEEL)

sdist: $(SDIST)

# Every supported CPython, each from its own venv.
dist:
	@for v in $(VERSIONS); do \
	    $(MAKE) --no-print-directory wheel PY=$$v PYTHON="$$(tools/find-python $$v)" || exit 1; \
	done
	@$(MAKE) --no-print-directory sdist
	@ls -l dist

# The tests of the distribution files use the sdist and this version's wheel.
test: setup $(SDIST)
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
	rm -rf build dist tests/clients/build .venv .venv-*
