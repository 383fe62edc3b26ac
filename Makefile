# kelvane: build, test and demo entry points.
PY        := /usr/bin/python3
BUILD     := build
ASAN      := build-asan
JOBS      ?= $(shell nproc)
APT_PKGS  := g++ cmake make python3-dev python3-pytest tao-pegtl-dev libtbb-dev \
             robin-map-dev libgtest-dev googletest libbenchmark-dev

.PHONY: deps build test test-cpp test-asan test-python demo bench clean

# Installs what the build and the tests need; quiet when everything is present.
deps:
	@missing=""; for p in $(APT_PKGS); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	fi

$(BUILD)/CMakeCache.txt:
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null

build: deps $(BUILD)/CMakeCache.txt
	@cmake --build $(BUILD) -j $(JOBS)

test-cpp: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

$(ASAN)/CMakeCache.txt:
	@cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DKELVANE_SANITIZE=ON \
	  -DKELVANE_PYTHON=OFF -DKELVANE_BENCH=OFF >/dev/null

# The C++ tests once more under AddressSanitizer and UBSan; any report fails.
test-asan: deps $(ASAN)/CMakeCache.txt
	@cmake --build $(ASAN) -j $(JOBS)
	@cd $(ASAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

test-python: build
	@if ls tests/python/test_*.py >/dev/null 2>&1; then \
	  PYTHONPATH=python $(PY) -m pytest -q tests/python; \
	else echo "no Python tests yet"; fi

test: test-cpp test-asan test-python

demo: build
	@PYTHONPATH=python $(PY) examples/demo.py

bench: build
	@for b in $(BUILD)/bench_*; do [ -x $$b ] && $$b; done

clean:
	rm -rf $(BUILD) $(ASAN)
