# Every target sets itself up: it finds CPython 3.13, creates .venv, and builds and installs
# the module with its test extras before it runs anything.
VENV    := .venv
PY      := $(VENV)/bin/python
SOURCES := $(shell find src -type f 2>/dev/null) CMakeLists.txt pyproject.toml native_accel.pyi

.PHONY: test demo bench install clean fuzz fuzz-build test-asan

# Fuzzing: FUZZ_SECONDS per target for `make fuzz`; `make test` shares FUZZ_SMOKE_SECONDS
# among all targets so that they keep building and running.
FUZZ_BUILD         := build/fuzz
FUZZ_SECONDS       ?= 60
FUZZ_SMOKE_SECONDS ?= 10

install: $(VENV)/.installed

$(VENV)/.tools:
	@python=$$(tools/find_python.sh) || exit 1; \
	  echo "using $$python"; \
	  "$$python" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet "scikit-build-core>=0.10" cmake ninja
	@touch $@

$(VENV)/.installed: $(VENV)/.tools $(SOURCES)
	$(PY) -m pip install --quiet --no-build-isolation ".[test]"
	@touch $@

test: install fuzz-build
	$(PY) -m pytest -q
	fuzz/run.sh $(FUZZ_BUILD) --total $(FUZZ_SMOKE_SECONDS)

# The fuzz targets are a CMake project of their own, built with clang (installed from
# Debian's packages when missing) by the venv's cmake and ninja.
fuzz-build: $(VENV)/.tools
	@tools/ensure_clang.sh
	@test -f $(FUZZ_BUILD)/build.ninja || $(VENV)/bin/cmake -S fuzz -B $(FUZZ_BUILD) -G Ninja \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	@$(VENV)/bin/cmake --build $(FUZZ_BUILD)

fuzz: fuzz-build
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

demo: install
	$(PY) examples/tour.py

bench: install
	$(PY) -c "import time, runpy; t = time.perf_counter(); runpy.run_path('examples/tour.py', run_name='__main__'); print(f'tour took {time.perf_counter() - t:.3f} s')"

clean:
	rm -rf build $(VENV) $(ASAN_VENV)
