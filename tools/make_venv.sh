#!/usr/bin/env bash
# Makes VENV from the interpreter asked for, with the module's build tools in it, unless it
# is already made from that very interpreter.
#
#   tools/make_venv.sh VENV [PYTHON]
#
# PYTHON as for tools/find_python.sh (default: the CPython 3.13 it finds). The interpreter a
# venv was made from is kept in VENV/.base: a venv of another interpreter (another PYTHON,
# or a venv from before this file existed) is removed and made anew, since a venv follows
# its interpreter and a module built for one version does not import on another. The
# script touches VENV/.tools only when it made the venv, so that make rebuilds the module
# then and only then.
set -euo pipefail
cd "$(dirname "$0")/.."
venv="${1:?usage: tools/make_venv.sh VENV [PYTHON]}"
base=$(tools/find_python.sh "${2:-}")
if [ -f "$venv/.tools" ] && [ "$(cat "$venv/.base" 2>/dev/null)" = "$base" ]; then
    exit 0
fi
echo "using $base for $venv"
rm -rf "$venv"
"$base" -m venv "$venv"
python="$venv/bin/python"
# A free-threaded interpreter gets binary wheels only, here and for the test dependencies
# (installed now, so that the module's own install finds them present): the newest release
# of a dependency may lack a free-threaded wheel, and building one from source needs
# compilers and crates that a machine may not have.
binary_only=()
if "$python" -c 'import sys, sysconfig; sys.exit(not sysconfig.get_config_var("Py_GIL_DISABLED"))'; then
    binary_only=(--only-binary=:all:)
fi
"$python" -m pip install --quiet "${binary_only[@]}" --upgrade pip
"$python" -m pip install --quiet "${binary_only[@]}" "scikit-build-core>=0.10" cmake ninja
if [ "${#binary_only[@]}" -gt 0 ]; then
    mapfile -t test_requirements < <("$python" -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["test"]))')
    "$python" -m pip install --quiet "${binary_only[@]}" "${test_requirements[@]}"
fi
echo "$base" >"$venv/.base"
touch "$venv/.tools"
