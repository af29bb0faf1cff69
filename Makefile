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

test: install
	$(PY) -m pytest -q

demo: install
	$(PY) examples/tour.py

bench: install
	$(PY) -c "import time, runpy; t = time.perf_counter(); runpy.run_path('examples/tour.py', run_name='__main__'); print(f'tour took {time.perf_counter() - t:.3f} s')"

clean:
	rm -rf build $(VENV)
