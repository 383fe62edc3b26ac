# kelvane: build, test and demo entry points. `make help` lists them.
VENV      := .venv
PY        := $(VENV)/bin/python
BUILD     := build
ASAN      := build-asan
TSAN      := build-tsan
FUZZ_SECONDS ?= 600
BENCH_SIZE ?= 100MB
FUZZ_TARGETS := whole_program differential flatten
JOBS      ?= $(shell nproc)
# Debian packages of the build: the compiler, the C++ libraries, GoogleTest,
# and clang 19 with its runtime for the sanitizer build.
APT_PKGS  := g++ make tao-pegtl-dev libtbb-dev robin-map-dev libgtest-dev googletest \
             clang-19 libclang-rt-19-dev
# Python packages of the build and the tests, installed into $(VENV).
PY_REQS   := tests/requirements.txt

SHELL     := /bin/bash
.SHELLFLAGS := -o pipefail -c
# the venv's cmake, ninja and Python come first
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)
MAKEFLAGS += --no-print-directory
# pip's notes about this machine's extra package folders are not ours to show
PIP       := $(PY) -m pip --disable-pip-version-check -q
PIP_FILTER := 2>&1 | { grep -v "^WARNING: Location '" || true; }

# CI builds treat a warning in the project's own code as an error.
ifeq ($(CI),true)
WERROR    := -DKELVANE_WERROR=ON
endif

CMAKE_ARGS := -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(CURDIR)/$(PY) $(WERROR)

.PHONY: help deps build module test test-cpp asan-tree test-asan test-tsan test-python \
        test-python-asan fuzz-regress fuzz demo bench clean

help:
	@echo "make demo         install what is needed, build the module, print the table of examples/pocket.nc"
	@echo "make test         install what is needed, build, run every C++ and Python test (sanitizer build included)"
	@echo "make deps         install the Debian packages (apt-get) and the project venv $(VENV); quiet when all is there"
	@echo "make module       build and install the package into $(VENV) (what the demo needs)"
	@echo "make build        the module and the C++ tests, in $(BUILD)/"
	@echo "make test-cpp     the C++ tests"
	@echo "make test-asan    the C++ tests built with clang, AddressSanitizer and UBSan, in $(ASAN)/"
	@echo "make test-tsan    the C++ tests that run threads, under ThreadSanitizer, in $(TSAN)/"
	@echo "make test-python  the Python tests against the installed package"
	@echo "make test-python-asan  the Python tests against the module of $(ASAN)/"
	@echo "make fuzz-regress each fuzz target over its seeds, then briefly (part of make test)"
	@echo "make fuzz         each fuzz target for FUZZ_SECONDS (default 600) seconds"
	@echo "make bench        the C++ benchmarks, then whole runs against the scan limit (BENCH_SIZE, default 100MB)"
	@echo "make clean        remove the build trees (the venv stays)"

# Installs what the build and the tests need; quiet when everything is present.
deps: $(VENV)/.installed
	@missing=""; for p in $(APT_PKGS); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	fi

$(VENV)/.installed: $(PY_REQS)
	@[ -x $(PY) ] || { echo "creating the virtual environment $(VENV)"; python3 -m venv $(VENV); }
	@echo "installing Python packages into $(VENV): $$(grep -v '^#' $(PY_REQS) | tr '\n' ' ')"
	@$(PIP) install -r $(PY_REQS) $(PIP_FILTER)
	@touch $@

# The package, built with scikit-build-core from $(BUILD) and installed into
# the venv; ninja shows the progress of the compile.
module: deps
	@cmake -S . -B $(BUILD) $(CMAKE_ARGS) >/dev/null
	@cmake --build $(BUILD) --target _internal
	@echo "installing kelvane into $(VENV)"
	@$(PIP) install --no-build-isolation --no-deps -C build-dir=$(BUILD) . $(PIP_FILTER)

build: deps
	@cmake -S . -B $(BUILD) $(CMAKE_ARGS) -DKELVANE_TESTS=ON >/dev/null
	@cmake --build $(BUILD)
	@$(MAKE) module

# Runs the tests of a build tree: the summary when all pass, else every
# line that is not a pass.
CTEST = ctest --output-on-failure -j $(JOBS) > ctest.log 2>&1 \
	  && tail -n 3 ctest.log || { grep -vE ' Passed |^ +Start ' ctest.log; false; }

test-cpp: build
	@echo "C++ tests"
	@cd $(BUILD) && $(CTEST)

# One clang tree with AddressSanitizer and UBSan serves the C++ tests, the
# Python module and the fuzz targets.
asan-tree: deps
	@CC=clang-19 CXX=clang++-19 cmake -S . -B $(ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DKELVANE_SANITIZE=ON -DKELVANE_FUZZ=ON -DKELVANE_TESTS=ON -DKELVANE_PYTHON=ON \
	  -DPython_EXECUTABLE=$(CURDIR)/$(PY) $(WERROR) >/dev/null
	@cmake --build $(ASAN)
	@mkdir -p $(ASAN)/python/kelvane
	@cp python/kelvane/*.py $(ASAN)/_internal*.so $(ASAN)/python/kelvane/

ASAN_ENV := ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# The fuzz targets keep shorter allocation stacks and a smaller quarantine of
# freed memory than the tests: both cost time on every allocation, and a fuzz
# finding is replayed from its saved input anyway. A unit may take up to a
# minute: a DEF of millions of elements, its variable changes recorded and
# compared on four paths, is slow under the sanitizers but no hang.
FUZZ_ENV := ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:malloc_context_size=10:quarantine_size_mb=32 \
	    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
FUZZ_FLAGS := -dict=fuzz/nc.dict -timeout=60 -rss_limit_mb=2048 -max_len=1024

# The C++ tests once more under AddressSanitizer and UBSan; any report fails.
test-asan: asan-tree
	@echo "C++ tests under AddressSanitizer and UBSan"
	@cd $(ASAN) && rm -f report.* && export $(ASAN_ENV) && \
	  export ASAN_OPTIONS=$$ASAN_OPTIONS:log_path=$(CURDIR)/$(ASAN)/report \
	  UBSAN_OPTIONS=$$UBSAN_OPTIONS:log_path=$(CURDIR)/$(ASAN)/report \
	  && { $(CTEST) || { cat report.* 2>/dev/null | head -n 120; false; }; }

# The Python tests against the sanitized module: the runtime is preloaded
# into Python, leaks of the module's own allocations are reported, CPython's
# and the Arrow libraries' are suppressed (tests/python/lsan.supp).
test-python-asan: asan-tree
	@echo "Python tests against the module built with AddressSanitizer and UBSan"
	@export $(ASAN_ENV) LSAN_OPTIONS=suppressions=$(CURDIR)/tests/python/lsan.supp:print_suppressions=0 \
	  LD_PRELOAD=$$(clang-19 -print-file-name=libclang_rt.asan-x86_64.so) \
	  PYTHONPATH=$(CURDIR)/$(ASAN)/python PYTHONMALLOC=malloc KELVANE_SANITIZED=1 && \
	  $(PY) -m pytest -q -p no:cacheprovider tests/python

# The C++ tests that run threads under ThreadSanitizer.
test-tsan: deps
	@CC=clang-19 CXX=clang++-19 cmake -S . -B $(TSAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DKELVANE_TSAN=ON -DKELVANE_TESTS=ON -DKELVANE_PYTHON=OFF $(WERROR) >/dev/null
	@cmake --build $(TSAN)
	@echo "C++ tests that run threads, under ThreadSanitizer"
	@cd $(TSAN) && rm -f report.* && \
	  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:log_path=$(CURDIR)/$(TSAN)/report \
	  && { $(CTEST) || { cat report.* 2>/dev/null | head -n 120; false; }; }

# Each fuzz target over its seeds, then for a short while from them.
fuzz-regress: asan-tree
	@echo "fuzz targets: seeds, then 20 s each"
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(ASAN)/corpus/$$t && export $(FUZZ_ENV) && \
	  $(ASAN)/fuzz_$$t -runs=0 fuzz/seeds > $(ASAN)/fuzz_$$t.log 2>&1 && \
	  $(ASAN)/fuzz_$$t $(FUZZ_FLAGS) -max_total_time=20 \
	    -artifact_prefix=$(ASAN)/ $(ASAN)/corpus/$$t fuzz/seeds >> $(ASAN)/fuzz_$$t.log 2>&1 \
	  && grep -h '^#.*DONE' $(ASAN)/fuzz_$$t.log | sed "s/^/  $$t: /" \
	  || { tail -n 60 $(ASAN)/fuzz_$$t.log; exit 1; }; \
	done

# The fuzz campaign: every target for FUZZ_SECONDS, its corpus kept in $(ASAN)/corpus.
fuzz: asan-tree
	@for t in $(FUZZ_TARGETS); do \
	  echo "fuzz_$$t for $(FUZZ_SECONDS) s"; mkdir -p $(ASAN)/corpus/$$t && export $(FUZZ_ENV) && \
	  $(ASAN)/fuzz_$$t $(FUZZ_FLAGS) -print_final_stats=1 \
	    -max_total_time=$(FUZZ_SECONDS) -artifact_prefix=$(ASAN)/ $(ASAN)/corpus/$$t fuzz/seeds \
	    2>&1 | grep -E '^#.*(pulse|DONE)|^stat::|ERROR|SUMMARY' || exit 1; \
	done

test-python: module
	@echo "Python tests"
	@$(PY) -m pytest -q tests/python

test: test-cpp test-asan test-tsan test-python test-python-asan fuzz-regress

demo: module
	@$(PY) examples/demo.py

bench: module
	@cmake -S . -B $(BUILD) $(CMAKE_ARGS) -DKELVANE_BENCH=ON >/dev/null
	@cmake --build $(BUILD)
	@for b in $(BUILD)/bench_*; do [ -x $$b ] && $$b; done
	@echo "whole runs from Python against the scan limit, $(BENCH_SIZE) programs (best of 3)"
	@$(PY) bench/throughput.py --size $(BENCH_SIZE)

clean:
	rm -rf $(BUILD) $(ASAN) $(TSAN)
