# Every target sets itself up: it finds CPython 3.13, creates .venv, and builds and installs
# the module with its test extras before it runs anything.
VENV    := .venv
PY      := $(VENV)/bin/python
SOURCES := $(shell find src -type f 2>/dev/null) CMakeLists.txt pyproject.toml native_accel.pyi

.PHONY: test demo bench install clean

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

# After the tests, every benchmark scenario runs once on small inputs so that the benchmark
# code cannot rot; it asserts nothing about speed.
test: install
	$(PY) -m pytest -q
	$(PY) bench/run.py --quick --quiet

demo: install
	$(PY) examples/tour.py

# QUICK=1: every scenario once on small inputs, in seconds.
bench: install
	$(PY) bench/run.py $(if $(QUICK),--quick)

clean:
	rm -rf build $(VENV)
