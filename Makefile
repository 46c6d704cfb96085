# vesk developer entry points.
#
#   make / make demo   set up .venv, build and install vesk, run the quickstart
#   make test          the same setup, then the C++ unit tests and the Python tests
#   make cpp-test      only the C++ unit tests (ctest, build dir build/cpp)
#   make py-test       only the Python tests (pytest, against the installed module)
#   make bench         build and run the micro-benchmarks (if bench/ has any)
#   make sanitize      the C++ unit tests under ASan+UBSan, then under TSan
#   make clean         remove build/ and .venv
#
# Variables: PYTHON=/path/to/python3.x picks the interpreter for a new .venv
# (default: tools/find-python picks the newest CPython >= 3.12);
# CTEST_ARGS and PYTEST_ARGS are passed to the test runners.

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := demo
.DELETE_ON_ERROR:

VENV := .venv
PY := $(VENV)/bin/python
# The venv's cmake, ctest and ninja (from PyPI), whatever else is on PATH.
VENV_PATH := PATH="$(abspath $(VENV))/bin:$$PATH"
CMAKE := $(VENV_PATH) $(VENV)/bin/cmake
CTEST := $(VENV_PATH) $(VENV)/bin/ctest

CPP_BUILD := build/cpp
BENCH := $(if $(wildcard bench/CMakeLists.txt),ON,OFF)
CTEST_ARGS ?=
PYTEST_ARGS ?=

STAMPS := build/stamps
VENV_STAMP := $(VENV)/.vesk-tools-installed
INSTALL_STAMP := $(STAMPS)/vesk-installed
# Everything that goes into the installed extension module.
PACKAGE_INPUTS := CMakeLists.txt pyproject.toml README.md $(shell find src -type f 2>/dev/null)

.PHONY: demo test cpp-test cpp-build py-test install setup bench sanitize clean help

demo: $(INSTALL_STAMP)
	$(PY) examples/quickstart.py

# Both suites run even if the first fails; the exit status reports either.
# pytest runs with -P so that the installed module is imported, never a
# same-named file or directory in the working tree.
test: $(INSTALL_STAMP) cpp-build
	@status=0; \
	echo "== C++ unit tests (ctest)"; \
	$(CTEST) --test-dir $(CPP_BUILD) --output-on-failure $(CTEST_ARGS) || status=1; \
	echo "== Python tests (pytest)"; \
	$(PY) -P -m pytest $(PYTEST_ARGS) || status=1; \
	if [ $$status -ne 0 ]; then echo "make test: FAILED" >&2; fi; \
	exit $$status

cpp-test: cpp-build
	$(CTEST) --test-dir $(CPP_BUILD) --output-on-failure $(CTEST_ARGS)

cpp-build: $(VENV_STAMP)
	$(CMAKE) -S . -B $(CPP_BUILD) -G Ninja --log-level=WARNING \
	  -DVESK_BUILD_TESTS=ON -DVESK_BUILD_BENCH=$(BENCH)
	$(CMAKE) --build $(CPP_BUILD)

py-test: $(INSTALL_STAMP)
	$(PY) -P -m pytest $(PYTEST_ARGS)

install: $(INSTALL_STAMP)

setup: $(VENV_STAMP)

$(VENV_STAMP): tools/setup-venv tools/find-python tools/install-deps \
               tools/debian-packages.txt tools/build-requirements.txt
	tools/setup-venv $(VENV)
	touch $@

# pip builds in-tree: scikit-build-core keeps its CMake build directory under
# build/<wheel tag>, so a rebuild only recompiles what changed.
$(INSTALL_STAMP): $(VENV_STAMP) $(PACKAGE_INPUTS)
	$(VENV_PATH) $(PY) -m pip install --disable-pip-version-check \
	  --no-build-isolation .
	@mkdir -p $(STAMPS)
	touch $@

bench: $(VENV_STAMP)
	@if [ "$(BENCH)" != ON ]; then echo "bench/CMakeLists.txt does not exist yet: no benchmarks to run"; exit 0; fi; \
	$(CMAKE) -S . -B $(CPP_BUILD) -G Ninja --log-level=WARNING \
	  -DVESK_BUILD_TESTS=ON -DVESK_BUILD_BENCH=ON; \
	$(CMAKE) --build $(CPP_BUILD); \
	found=0; \
	for b in $$(find $(CPP_BUILD)/bench -maxdepth 1 -type f -perm -u+x | sort); do \
	  found=1; echo "== $$b"; "$$b"; \
	done; \
	if [ $$found = 0 ]; then echo "no benchmark executables under $(CPP_BUILD)/bench"; fi

# Sanitizer builds live in their own build directories.
sanitize: $(VENV_STAMP)
	$(CMAKE) -S . -B build/cpp-asan -G Ninja --log-level=WARNING \
	  -DVESK_BUILD_TESTS=ON -DVESK_SANITIZE=address,undefined
	$(CMAKE) --build build/cpp-asan
	$(CTEST) --test-dir build/cpp-asan --output-on-failure $(CTEST_ARGS)
	$(CMAKE) -S . -B build/cpp-tsan -G Ninja --log-level=WARNING \
	  -DVESK_BUILD_TESTS=ON -DVESK_SANITIZE=thread
	$(CMAKE) --build build/cpp-tsan
	$(CTEST) --test-dir build/cpp-tsan --output-on-failure $(CTEST_ARGS)

clean:
	rm -rf build $(VENV)

help:
	@sed -n '3,13p' Makefile
