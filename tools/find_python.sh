#!/bin/sh
# Prints the path of the CPython interpreter the venvs are made from, or explains what went
# wrong.
#
#   tools/find_python.sh [PYTHON]
#
# PYTHON (a path or a command name) may be any CPython from 3.13 on, with or without the
# GIL; it is run to check that. Without it, a working CPython 3.13 is looked for:
# `python3.13` on PATH, then pyenv's 3.13 installations. A pyenv shim named python3.13 may
# exist on PATH without a usable 3.13 behind it, so every candidate is run, not just found.
is_313() {
    [ -n "$1" ] && "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1
}
# Resolves a pyenv shim, or a command name, to the interpreter itself; a venv's interpreter
# (an activated venv puts one first on PATH) to the one the venv was made from, since the
# venvs made from this path are removed and made anew, the caller's own one included.
executable_of() {
    "$1" -c 'import sys; print(sys._base_executable if sys.prefix != sys.base_prefix else sys.executable)'
}

if [ -n "$1" ]; then
    if ! command -v "$1" >/dev/null 2>&1; then
        echo "error: PYTHON=$1: no such interpreter" >&2
        exit 1
    fi
    if ! "$1" -c '
import sys
sys.exit(sys.implementation.name != "cpython" or sys.version_info < (3, 13))' >/dev/null 2>&1
    then
        echo "error: PYTHON=$1 is not CPython 3.13 or newer (it says:" \
             "$("$1" -c 'import sys; print(sys.implementation.name, sys.version.split()[0])' 2>&1))" >&2
        exit 1
    fi
    executable_of "$1"
    exit 0
fi

candidates=""
if command -v python3.13 >/dev/null 2>&1; then
    candidates="$(command -v python3.13)"
fi
if command -v pyenv >/dev/null 2>&1; then
    root="$(pyenv root 2>/dev/null)"
    for p in "$root"/versions/3.13*/bin/python3.13; do
        candidates="$candidates $p"
    done
fi
for p in $candidates; do
    if is_313 "$p"; then
        executable_of "$p"
        exit 0
    fi
done
echo "error: no CPython 3.13 found. Looked for 'python3.13' on PATH and for" \
     "\$(pyenv root)/versions/3.13*/bin/python3.13; install CPython 3.13 and retry," \
     "or name another CPython (3.13 or newer) with PYTHON=/path/to/python3.X." >&2
exit 1
