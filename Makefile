# Every target sets itself up: it finds CPython 3.13, creates .venv, and builds and installs
# the module with its test extras before it runs anything. PYTHON=/path/to/python3.X makes
# the venvs from another CPython instead (3.13 or newer, with or without the GIL); a venv
# made by another interpreter than the one asked for is made anew (tools/make_venv.sh).
PYTHON  ?=
VENV    := .venv
PY      := $(VENV)/bin/python
SOURCES := $(shell find src -type f 2>/dev/null) CMakeLists.txt pyproject.toml native_accel.pyi

.PHONY: test demo bench install clean fuzz fuzz-build test-asan test-freethreaded \
        test-newer-pythons test-aarch64 test-windows FORCE

# Fuzzing: FUZZ_SECONDS per target for `make fuzz` (FUZZ_TARGETS names a subset, e.g.
# FUZZ_TARGETS=fuzz_seed_search); `make test` shares FUZZ_SMOKE_SECONDS among all targets so
# that they keep building and running.
FUZZ_BUILD         := build/fuzz
FUZZ_SECONDS       ?= 60
FUZZ_SMOKE_SECONDS ?= 10

install: $(VENV)/.installed

# Checked on every run: the script touches the stamp only when it (re)makes the venv.
$(VENV)/.tools: FORCE
	@tools/make_venv.sh $(VENV) "$(PYTHON)"

$(VENV)/.installed: $(VENV)/.tools $(SOURCES)
	$(PY) -m pip install --quiet --no-build-isolation ".[test]"
	@touch $@

# After the tests: a short run of every fuzz target, then every benchmark scenario once on
# small inputs so that the benchmark code cannot rot (it asserts nothing about speed).
test: install
	$(PY) -m pytest -q
	@$(MAKE) --no-print-directory fuzz-build
	fuzz/run.sh $(FUZZ_BUILD) --total $(FUZZ_SMOKE_SECONDS)
	$(PY) bench/run.py --quick --quiet

# The fuzz targets are a CMake project of their own, built with clang (installed from
# Debian's packages when missing) by the venv's cmake and ninja, with the bodies' asserts
# compiled in: a program that breaks an invariant on purpose must abort on its assert.
fuzz-build: $(VENV)/.tools
	@tools/ensure_clang.sh
	@test -f $(FUZZ_BUILD)/build.ninja || $(VENV)/bin/cmake -S fuzz -B $(FUZZ_BUILD) -G Ninja \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	@$(VENV)/bin/cmake --build $(FUZZ_BUILD)
	@if $(FUZZ_BUILD)/planted_violation >/dev/null 2>$(FUZZ_BUILD)/planted_violation.log || \
	    ! grep -q "count <= valid_" $(FUZZ_BUILD)/planted_violation.log; then \
	  echo "error: the fuzz build does not run the bodies' asserts" >&2; exit 1; fi

fuzz: fuzz-build
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# The module built with AddressSanitizer and UndefinedBehaviorSanitizer (by g++, whose
# runtime is part of the compiler) and with its asserts, in a venv of its own, and the
# whole suite run under it.
# The runtime must be loaded before the interpreter, hence LD_PRELOAD; PYTHONMALLOC=malloc
# sends every Python allocation (bytearray storage included) through the sanitizer's
# allocator so that overruns of small buffers are seen too. The interpreter does not free
# everything at exit, so leak reports are off here (the fuzzers check the bodies for leaks).
# pytest captures only sys.stdout and sys.stderr, so that a report reaches the terminal.
ASAN_VENV := .venv-asan
ASAN_PY   := $(ASAN_VENV)/bin/python
ASAN_ENV  := NATIVE_ACCEL_SANITIZED=1 PYTHONMALLOC=malloc \
             ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
             UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
             LD_PRELOAD=$$(g++ -print-file-name=libasan.so)

$(ASAN_VENV)/.tools: FORCE
	@tools/make_venv.sh $(ASAN_VENV) "$(PYTHON)"

$(ASAN_VENV)/.installed: $(ASAN_VENV)/.tools $(SOURCES)
	$(ASAN_PY) -m pip install --quiet --no-build-isolation -C build-dir=build/asan-{wheel_tag} \
	  -C cmake.build-type=RelWithDebInfo -C cmake.define.CMAKE_CXX_COMPILER=g++ \
	  -C cmake.define.NATIVE_ACCEL_SANITIZE=address,undefined \
	  -C cmake.define.NATIVE_ACCEL_ASSERTS=ON ".[test]"
	@touch $@

test-asan: $(ASAN_VENV)/.installed
	$(ASAN_ENV) $(ASAN_PY) -m pytest -q -p no:cacheprovider --capture=sys

# The whole suite on a free-threaded CPython 3.13 that tools/build_cpython.sh builds once
# from Debian's source package and keeps in ~/.cache/native_accel (see the script), or on
# the free-threaded interpreter that PYTHON names.
FT_VENV := .venv-freethreaded

test-freethreaded:
	PYTHON="$(PYTHON)" tools/test_free_threaded.sh $(FT_VENV)

# The whole suite and the examples on Debian's CPython 3.14 and 3.15, each in a Debian
# unstable root that tools/test_newer_pythons.sh makes once and keeps beside the
# free-threaded interpreter (needs root, for debootstrap, chroot and mounts).
test-newer-pythons:
	tools/test_newer_pythons.sh

# The bodies, the native checks and the fuzz targets (without libFuzzer) cross-built for
# aarch64 Linux and for 64-bit Windows and run under qemu-aarch64 and wine; the toolchains
# come from Debian's packages (see the script). They need no Python.
test-aarch64:
	tools/cross_check.sh aarch64

test-windows:
	tools/cross_check.sh windows

demo: install
	$(PY) examples/tour.py

# QUICK=1: every scenario once on small inputs, in seconds.
bench: install
	$(PY) bench/run.py $(if $(QUICK),--quick)

clean:
	rm -rf build $(VENV) $(ASAN_VENV) $(FT_VENV)

FORCE:
