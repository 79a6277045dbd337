# Set-up, build, tests, demo and benchmarks. `make demo` and `make test` install what they need.
SHELL := /bin/bash
.DEFAULT_GOAL := test

VENV := .venv
PY := $(VENV)/bin/python
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

APT_PACKAGES := g++ make pkg-config libeigen3-dev libfmt-dev nlohmann-json3-dev libtbb-dev \
  libdeflate-dev libisal-dev isal libnifti2-dev zlib1g-dev libssl-dev libgtest-dev clang-format
PY_PACKAGES := scikit-build-core cmake ninja pytest numpy nibabel matplotlib dipy ruff \
  "dask[distributed]" tqdm

# CPython 3.12: the first candidate that really runs (a pyenv shim on PATH may not).
PYTHON312 := $(shell for c in $$(command -v python3.12 2>/dev/null) \
  $$(ls -d $(HOME)/.pyenv/versions/3.12*/bin/python3.12 2>/dev/null | sort -V -r); do \
  "$$c" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null && echo "$$c" && break; done)

CMAKE := $(VENV)/bin/cmake
CMAKE_COMMON := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DQUORVEX_BUILD_TESTS=ON

.PHONY: deps system-deps build cpp-test asan-test py-test lint test demo bench clean format

system-deps:
	@missing=""; for p in $(APT_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing system packages:$$missing"; \
	  SUDO=$$([ "$$(id -u)" = 0 ] || echo sudo); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing >/dev/null; \
	fi

$(VENV)/.deps: Makefile pyproject.toml
	@if [ -z "$(PYTHON312)" ]; then \
	  echo "error: CPython 3.12 is required: put python3.12 on PATH or install it with pyenv" >&2; exit 1; fi
	@[ -x $(PY) ] || $(PYTHON312) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(PY_PACKAGES)
	@touch $@

deps: system-deps $(VENV)/.deps

build: deps
	$(PY) -m pip install -q --no-build-isolation --no-deps .

build/cpp/build.ninja: | deps
	$(CMAKE) -S . -B build/cpp $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEX_BUILD_BENCH=ON

build/asan/build.ninja: | deps
	$(CMAKE) -S . -B build/asan $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug -DQUORVEX_SANITIZE=address,undefined

cpp-test: deps build/cpp/build.ninja
	$(CMAKE) --build build/cpp -j $(JOBS)
	cd build/cpp && $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)

asan-test: deps build/asan/build.ninja
	$(CMAKE) --build build/asan -j $(JOBS)
	cd build/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)

py-test: build
	$(PY) -m pytest

lint: deps
	$(VENV)/bin/ruff check python tests/py bench examples
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.hpp')

# Lint, the C++ suites (plain, then ASan+UBSan), and pytest last so its summary closes the run.
test: lint cpp-test asan-test py-test

demo: build
	$(PY) examples/demo.py

bench: build build/cpp/build.ninja
	$(CMAKE) --build build/cpp -j $(JOBS) --target table_io_bench volume_bench bids_discovery_bench
	build/cpp/table_io_bench
	build/cpp/volume_bench
	build/cpp/bids_discovery_bench
	$(PY) bench/inspect_bench.py
	$(PY) bench/bids_batch_bench.py
	mkdir -p build/bench-data
	$(PY) bench/audit_bench.py --folder build/bench-data
	$(PY) bench/flip_accuracy.py
	$(PY) bench/parallel_bids_bench.py

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf build
