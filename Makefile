# make test  -- set everything up on a fresh machine, then run the whole suite
# make demo  -- the demonstration, in a venv of its own with only what it needs
# make docs  -- the documentation site, in build/docs/html
# make dist  -- the sdist and a manylinux wheel for each supported CPython, in dist/
#
# PY=3.13 picks the CPython version (3.12 by default; 3.14t is the
# free-threaded build); each version has a venv of its own (.venv for 3.12,
# .venv-3.13 for 3.13, ...), made from the interpreter tools/find-python
# finds. PYTHON=... overrides the interpreter the venv is made from.

VERSIONS := 3.12 3.13 3.14
PY       ?= 3.12
PYTHON   ?= $(shell tools/find-python $(PY))
# The oldest glibc the wheels run on, and their tag.
GLIBC    := 2.17
PLAT     := manylinux_$(subst .,_,$(GLIBC))_x86_64
VENV     := $(if $(filter 3.12,$(PY)),.venv,.venv-$(PY))
# A free-threaded build turns the GIL on, with a RuntimeWarning on standard
# error, when it imports a module that does not declare that it can run
# without it: talvex.signals for now, and the example and test client
# modules. The suite compares standard error byte for byte, so there it
# runs with the GIL on from the start, as every process that imports talvex
# ends up anyway; the test of the module's declaration starts its
# interpreter without PYTHON_GIL.
ifneq ($(filter %t,$(PY)),)
export PYTHON_GIL := 1
endif
VPY      := $(VENV)/bin/python
# The wheel's interpreter and ABI tags: cp314-cp314t for 3.14t.
ABITAG   := cp$(subst .,,$(PY))
CPTAG    := $(ABITAG:t=)
THISWHEEL = dist/talvex-*-$(CPTAG)-$(ABITAG)-*.whl
VERSION  := $(shell sed -n 's/^version = "\(.*\)"$$/\1/p' pyproject.toml)
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

SOURCES := pyproject.toml CMakeLists.txt LICENSE README.md $(shell find src -type f ! -name '*.pyc')
CLIENTS := $(shell find tests/clients -maxdepth 1 -type f)
EXAMPLES := $(shell find examples -mindepth 2 -type f ! -path '*/build/*' ! -path '*.egg-info/*' ! -name '*.c' ! -name '*.so')
EXAMPLE_DIRS := $(patsubst %/pyproject.toml,./%,$(wildcard examples/*/pyproject.toml))
SDIST   := dist/talvex-$(VERSION).tar.gz
WHEEL   := build/dist/$(ABITAG).stamp
PYTEST_ARGS ?=

.PHONY: all setup test demo docs stress bench test-asan dist wheel sdist clean system

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
# zig's compilers (tools/zig-cc) link it against glibc $(GLIBC)'s symbol
# versions, whatever the build machine's glibc; check-glibc then fails the
# build if any symbol still needs a newer one than the tag promises.
$(WHEEL): $(VENV)/.deps $(SOURCES) tools/zig-cc
	@echo "make: building talvex for CPython $(PY): dist/talvex-$(VERSION)-$(CPTAG)-$(ABITAG)-*.whl"
	rm -rf build/dist/$(ABITAG) build/wheel/$(ABITAG) $(THISWHEEL)
	TALVEX_GLIBC=$(GLIBC) ZIG_PYTHON=$(CURDIR)/$(VPY) \
	    $(VPY) -m pip wheel -q --no-build-isolation --no-deps -w build/dist/$(ABITAG) \
	    -Cbuild-dir=build/wheel/$(ABITAG) \
	    -Ccmake.define.CMAKE_C_COMPILER=$(CURDIR)/tools/zig-cc \
	    -Ccmake.define.CMAKE_CXX_COMPILER=$(CURDIR)/tools/zig-c++ .
	$(VPY) -m auditwheel repair --plat $(PLAT) -w dist build/dist/$(ABITAG)/talvex-*.whl
	$(VPY) tools/check-glibc $(THISWHEEL)
	$(VPY) -m auditwheel show $(THISWHEEL)
	$(VPY) -m twine check --strict $(THISWHEEL)
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
	$(VPY) -m pip install -q --no-deps --force-reinstall $(THISWHEEL)
	$(VPY) -m pip install -q $(THISWHEEL)
	touch $@

$(VENV)/.clients: $(VENV)/.pkg $(CLIENTS)
	@echo "make: building the test clients (tests/clients)"
	@# The venv's interpreter by its absolute path: from 3.14 on, one reached
	@# through ../.. warns that its sys.prefix is not the venv's.
	cd tests/clients && $(CURDIR)/$(VPY) setup.py -q build_ext --build-lib build --build-temp build/tmp-$(PY)
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

# The demonstration and the documentation need neither the test tools nor
# the manylinux wheel: they take talvex built as a user's pip builds it, in
# a venv of their own. The demonstration adds the three example modules it
# shows and the one test client it borrows; the docs add Sphinx.
PLAINVENV := $(VENV)-plain
PLAINPY   := $(PLAINVENV)/bin/python

$(PLAINVENV)/.pkg: examples/requirements-demo.txt $(SOURCES)
	@test -n "$(PYTHON)" || { echo "no CPython $(PY) found; set PYTHON=..."; exit 1; }
	@echo "make: $(PLAINVENV) with talvex built by pip from this checkout"
	test -x $(PLAINPY) || $(PYTHON) -m venv $(PLAINVENV)
	$(PLAINPY) -m pip install -q -r examples/requirements-demo.txt
	$(PLAINPY) -m pip install -q --no-build-isolation .
	touch $@

$(PLAINVENV)/.demo: $(PLAINVENV)/.pkg $(EXAMPLES) tests/clients/tvclient.c
	@echo "make: the examples and the test client the demonstration uses"
	rm -rf examples/*/build
	$(PLAINPY) -m pip install -q --no-build-isolation --no-deps ./examples/cpp_module \
	    ./examples/cython_module ./examples/pybind11_module
	cd tests/clients && TVCLIENTS=tvclient_c $(CURDIR)/$(PLAINPY) setup.py -q build_ext \
	    --build-lib build --build-temp build/tmp-plain-$(PY)
	touch $@

demo: $(PLAINVENV)/.demo
	$(PLAINPY) examples/demo.py

$(PLAINVENV)/.docs: $(PLAINVENV)/.pkg docs/requirements.txt
	$(PLAINPY) -m pip install -q -r docs/requirements.txt
	touch $@

# Warnings are errors; the site goes to build/docs/html.
docs: $(PLAINVENV)/.docs
	rm -rf build/docs
	$(PLAINPY) -m sphinx -W --keep-going -q -b html -d build/docs/doctrees docs build/docs/html
	@echo "make: the site is in build/docs/html (index.html)"

# Benchmarks: ratios against comparisons measured in the same run.
bench: setup
	benchmarks/run

# The suite against AddressSanitizer/UndefinedBehaviorSanitizer builds.
test-asan: setup
	tools/test-asan

clean:
	rm -rf build dist tests/clients/build .venv .venv-*
