# make demo  - set up what is missing, build, run examples/quickstart.py
# make test  - set up what is missing, build, run the C++ and Python test suites
# make bench - set up, build, run the benchmarks against the peers and the floor
PYTHON ?=
VENV ?= .venv
PY := $(VENV)/bin/python
CPP_BUILD := build/cpp-$(notdir $(VENV))
SOURCES := $(shell find src stubs -type f) CMakeLists.txt pyproject.toml scripts/setup.sh

.PHONY: demo test test-cpp test-python bench clean

demo: $(VENV)/.installed-test
	$(PY) examples/quickstart.py

test: test-cpp test-python

test-python: $(VENV)/.installed-test
	$(PY) -m pytest -q
	$(PY) -m mypy.stubtest did_vek_core

test-cpp: $(VENV)/.installed-test
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
		-DDID_VEK_MODULE=OFF -DDID_VEK_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	$(VENV)/bin/cmake --build $(CPP_BUILD)
	cd $(CPP_BUILD) && $(abspath $(VENV))/bin/ctest --output-on-failure

FLOOR := build/bench/floor

bench: $(VENV)/.installed-bench $(FLOOR)
	$(PY) benchmarks/run.py --floor $(FLOOR)

$(FLOOR): benchmarks/floor.c | $(VENV)/.installed-bench
	mkdir -p $(dir $@)
	cc -O2 -Wall -Wextra -o $@ $< $$(pkg-config --cflags --libs libsodium libcrypto)

$(VENV)/.installed-%: $(SOURCES)
	scripts/setup.sh $(VENV) $* $(PYTHON)
	touch $@

clean:
	rm -rf build .venv .venv-*
