#!/usr/bin/env bash
# Runs the whole test suite on a free-threaded CPython built from Debian's source package
# (tools/build_cpython.sh), in a venv of its own, and checks that the GIL stays disabled.
#
#   tools/test_free_threaded.sh VENV [PYTEST_ARGS...]
#
# NATIVE_ACCEL_CPYTHON_PACKAGE picks the source package (default python3.13). PYTHON, when
# set, names a free-threaded interpreter to use instead, and nothing is built.
set -euo pipefail
cd "$(dirname "$0")/.."
venv="${1:?usage: tools/test_free_threaded.sh VENV [PYTEST_ARGS...]}"
shift

if [ -n "${PYTHON:-}" ]; then
    base=$(tools/find_python.sh "$PYTHON")
    "$base" -c 'import sys, sysconfig; sys.exit(not sysconfig.get_config_var("Py_GIL_DISABLED"))' \
        || { echo "error: PYTHON=$PYTHON is not a free-threaded build" >&2; exit 1; }
else
    base=$(tools/build_cpython.sh --free-threaded "${NATIVE_ACCEL_CPYTHON_PACKAGE:-python3.13}")
fi
python="$venv/bin/python"

# A venv follows one interpreter (a new Debian revision gets a new venv), with binary
# wheels only, as every venv of a free-threaded interpreter (tools/make_venv.sh). The test
# requirements are installed on every run, so that a new one in pyproject.toml arrives.
tools/make_venv.sh "$venv" "$base"
mapfile -t test_requirements < <("$python" -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["test"]))')
"$python" -m pip install --quiet --only-binary=:all: "${test_requirements[@]}"
"$python" -m pip install --quiet --no-build-isolation --no-deps \
    -C build-dir=build/freethreaded-{wheel_tag} .

# PYTHON_GIL would override what the module declares; the check is about the declaration.
unset PYTHON_GIL
"$python" -c '
import sys
import native_accel
assert not sys._is_gil_enabled(), "importing native_accel enabled the GIL"
print(f"free-threaded {sys.version.split()[0]}: the GIL stays disabled after import")'
"$python" -m pytest -q -p no:cacheprovider "$@"
