# Set-up, build and test. Every target installs what is missing and is safe to
# run again.

SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
APT_PACKAGES := ngspice libngspice0 libssl-dev libgtest-dev g++ make
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
export CMAKE_BUILD_PARALLEL_LEVEL := $(JOBS)
export CMAKE_GENERATOR := Ninja

# Installs Debian packages $(1), updating the package lists once when the
# first try fails (stale lists name versions no longer on the mirror).
apt_install = $(SUDO) apt-get install -y $(1) || { $(SUDO) apt-get update && $(SUDO) apt-get install -y $(1); }

.PHONY: all deps venv build cpp-build test pytest cpptest demo bench sanitize fuzz clean format

all: build

# System packages, installed only when one is missing.
deps:
	@missing=""; for p in $(APT_PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(call apt_install,$$missing); \
	fi

$(VENV)/.stamp: requirements-dev.txt
	@[ -x $(PY) ] || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	touch $@

venv: $(VENV)/.stamp

# The Python package with the compiled module, built incrementally in build/.
build: deps venv
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(PY) -m pip install -q --no-build-isolation --no-deps .

# The C++ units and their GoogleTest suite, without Python.
cpp-build: deps venv
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B build/cpp -DMORVA_PYTHON=OFF -DMORVA_CPP_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build build/cpp

pytest: build
	cd tests && ../$(PY) -m pytest -q $(PYTEST_ARGS)

cpptest: cpp-build
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" ctest --test-dir build/cpp --output-on-failure

# Every test: both suites run, and the target fails if either fails.
test: build cpp-build
	@status=0; \
	(cd tests && ../$(PY) -m pytest -q $(PYTEST_ARGS)) || status=1; \
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" ctest --test-dir build/cpp --output-on-failure || status=1; \
	exit $$status

demo: build
	$(PY) examples/demo.py

bench: build
	@shopt -s nullglob; for f in bench/bench_*.py; do echo "== $$f"; $(PY) $$f || exit 1; done

# C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps venv
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B build/asan -DMORVA_PYTHON=OFF -DMORVA_CPP_TESTS=ON -DMORVA_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build build/asan
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" ctest --test-dir build/asan --output-on-failure

# libFuzzer targets (tests/fuzz/); not part of CI.
fuzz: deps venv
	@command -v clang++ >/dev/null || $(SUDO) apt-get install -y clang libclang-rt-14-dev
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" CC=clang CXX=clang++ cmake -S . -B build/fuzz -DMORVA_PYTHON=OFF -DMORVA_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build build/fuzz

# Formats the C++ sources in place with Debian's clang-format (installed when
# missing).
format:
	@command -v clang-format >/dev/null 2>&1 || { echo "installing: clang-format"; \
	  $(call apt_install,clang-format); }
	clang-format -i $$(git ls-files 'src/*.cpp' 'src/*.h' 'bsim4_model/*.cpp' 'bsim4_model/*.h' 'tests/cpp/*.cpp' 'tests/cpp/*.h' 'tests/fuzz/*.cpp')

clean:
	rm -rf build

# Headless browser for the viewer's browser tests (they skip without it).
# Without its recommends (udev, upower, avahi, printer tools, ...): headless
# with SwiftShader it needs none of them.
BROWSER_APT_PACKAGES := chromium
BROWSER_APT_INSTALL := apt-get install -y --no-install-recommends $(BROWSER_APT_PACKAGES)
.PHONY: browser-deps
browser-deps:
	@command -v chromium >/dev/null 2>&1 || { echo "installing: $(BROWSER_APT_PACKAGES)"; \
	  $(SUDO) $(BROWSER_APT_INSTALL) || { $(SUDO) apt-get update && \
	  $(SUDO) $(BROWSER_APT_INSTALL); } || \
	  echo "warning: chromium could not be installed; the browser tests will skip"; }
pytest test: browser-deps
