# make demo     - set up what is missing, build, run examples/quickstart.py, credentials, the command-line round trip and a registry
# make test     - set up what is missing, build, run the C++ and Python test suites
# make bench    - set up, build, run the benchmarks against the peers and the floor, then the registry's and the witness's
# make bench-registry - the registry server under wrk beside nginx and a bare ASGI app (REGISTRY_BENCH_ARGS=--quick)
# make bench-log - what the registry's log costs: publishes, proofs, witnesses, a large restart (LOG_BENCH_ARGS=--quick)
# make sanitize - the C++ and Python test suites against an ASan+UBSan build of its own
# make fuzz     - build the libFuzzer harnesses with clang, run each for FUZZ_SECONDS
# make wheel    - into dist/: a repaired wheel (libsodium, libcrypto inside) per CPython >= 3.12, an sdist
# make check-wheel - install each of them into a fresh venv and test it there, outside the tree
PYTHON ?=
VENV ?= .venv
PY := $(VENV)/bin/python
CPP_BUILD := build/cpp-$(notdir $(VENV))
SOURCES := $(shell find src stubs python -type f -not -name "*.pyc") CMakeLists.txt pyproject.toml scripts/setup.sh
PYTEST_ARGS ?=

# Sanitizer builds live apart from the normal ones: their own venv and build directories.
SAN_VENV := .venv-sanitize
SAN_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
# The interpreter is not instrumented: the ASan runtime must be loaded before anything else,
# and every allocation must go through malloc for ASan to see it. The interpreter's own
# allocations at exit are not ours to judge, so leak detection is off for it.
SAN_RUN := LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:strict_init_order=1:check_initialization_order=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONMALLOC=malloc

FUZZ_SECONDS ?= 60
# libstdc++'s std::expected needs clang 16 or newer; Debian 12 has clang 19.
FUZZ_LLVM ?= 19
FUZZ_BUILD := build/fuzz
FUZZ_CMAKE_ARGS = -DCMAKE_C_COMPILER=clang-$(FUZZ_LLVM) -DCMAKE_CXX_COMPILER=clang++-$(FUZZ_LLVM) \
	-DDID_VEK_MODULE=OFF -DDID_VEK_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo

CMAKE_CONFIGURE = $(1)/bin/cmake -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(1))/bin/ninja

.PHONY: demo test test-cpp test-python bench bench-registry bench-log sanitize sanitize-cpp sanitize-python fuzz wheel check-wheel clean

demo: $(VENV)/.installed-test
	$(PY) examples/quickstart.py
	$(PY) examples/credentials.py
	examples/cli_round_trip.sh $(VENV)/bin/did-vek
	examples/registry_demo.sh $(VENV)/bin/did-vek
	examples/witness_demo.sh $(VENV)/bin/did-vek

test: test-cpp test-python

test-python: $(VENV)/.installed-test
	$(PY) -m pytest -q $(PYTEST_ARGS)
	$(PY) -m mypy.stubtest did_vek_core
	$(PY) -m mypy --strict python/did_vek

test-cpp: $(VENV)/.installed-test
	$(call CMAKE_CONFIGURE,$(VENV)) -S . -B $(CPP_BUILD) \
		-DDID_VEK_MODULE=OFF -DDID_VEK_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	$(VENV)/bin/cmake --build $(CPP_BUILD)
	cd $(CPP_BUILD) && $(abspath $(VENV))/bin/ctest --output-on-failure

FLOOR := build/bench/floor

REGISTRY_BENCH_ARGS ?=
LOG_BENCH_ARGS ?=

bench: $(VENV)/.installed-bench $(FLOOR)
	$(PY) benchmarks/run.py --floor $(FLOOR)
	$(PY) benchmarks/registry_bench.py $(REGISTRY_BENCH_ARGS)
	$(PY) benchmarks/log_bench.py $(LOG_BENCH_ARGS)
	$(PY) benchmarks/witness_bench.py

bench-registry: $(VENV)/.installed-bench
	$(PY) benchmarks/registry_bench.py $(REGISTRY_BENCH_ARGS)

bench-log: $(VENV)/.installed-bench
	$(PY) benchmarks/log_bench.py $(LOG_BENCH_ARGS)

$(FLOOR): benchmarks/floor.c | $(VENV)/.installed-bench
	mkdir -p $(dir $@)
	cc -O2 -Wall -Wextra -o $@ $< $$(pkg-config --cflags --libs libsodium libcrypto)

$(VENV)/.installed-%: $(SOURCES)
	scripts/setup.sh $(VENV) $* $(PYTHON)
	touch $@

sanitize: sanitize-cpp sanitize-python

sanitize-python: $(SAN_VENV)/.installed-test
	$(SAN_RUN) $(SAN_VENV)/bin/python -m pytest -q $(PYTEST_ARGS)

sanitize-cpp: $(SAN_VENV)/.installed-test
	$(call CMAKE_CONFIGURE,$(SAN_VENV)) -S . -B build/cpp-sanitize \
		-DDID_VEK_MODULE=OFF -DDID_VEK_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		"-DCMAKE_CXX_FLAGS=$(SAN_FLAGS)" "-DCMAKE_EXE_LINKER_FLAGS=$(SAN_FLAGS)" >/dev/null
	$(SAN_VENV)/bin/cmake --build build/cpp-sanitize
	cd build/cpp-sanitize && ASAN_OPTIONS=detect_leaks=1 $(abspath $(SAN_VENV))/bin/ctest --output-on-failure

# scikit-build-core reads its settings from SKBUILD_* variables: a build directory of its
# own, and the sanitizers for every object of the module and for its link.
$(SAN_VENV)/.installed-test: $(SOURCES)
	SKBUILD_BUILD_DIR=build/sanitize SKBUILD_CMAKE_BUILD_TYPE=RelWithDebInfo \
	SKBUILD_CMAKE_ARGS="-DCMAKE_CXX_FLAGS=$(SAN_FLAGS);-DCMAKE_MODULE_LINKER_FLAGS=$(SAN_FLAGS)" \
		scripts/setup.sh $(SAN_VENV) test $(PYTHON)
	touch $@

# Two builds of the harnesses: one to fuzz, one instrumented for source coverage that
# replays the grown corpus to measure what the fuzzing reached.
fuzz: | $(VENV)/.installed-test
	scripts/ensure-debian-packages clang-$(FUZZ_LLVM) libclang-rt-$(FUZZ_LLVM)-dev llvm-$(FUZZ_LLVM)
	$(call CMAKE_CONFIGURE,$(VENV)) -S . -B $(FUZZ_BUILD) $(FUZZ_CMAKE_ARGS) >/dev/null
	$(VENV)/bin/cmake --build $(FUZZ_BUILD)
	$(call CMAKE_CONFIGURE,$(VENV)) -S . -B $(FUZZ_BUILD)-coverage $(FUZZ_CMAKE_ARGS) \
		"-DCMAKE_CXX_FLAGS=-fprofile-instr-generate -fcoverage-mapping" \
		-DCMAKE_EXE_LINKER_FLAGS=-fprofile-instr-generate >/dev/null
	$(VENV)/bin/cmake --build $(FUZZ_BUILD)-coverage
	scripts/run-fuzzers $(FUZZ_BUILD) $(FUZZ_BUILD)-coverage $(FUZZ_SECONDS) $(FUZZ_LLVM)

wheel:
	scripts/build-wheels

check-wheel:
	scripts/check-wheels

clean:
	rm -rf build dist .venv .venv-*
