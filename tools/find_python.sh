#!/bin/sh
# Prints the path of a working CPython 3.13 interpreter, or explains what was looked for.
# A pyenv shim named python3.13 may exist on PATH without a usable 3.13 behind it, so every
# candidate is run, not just found.
works() {
    [ -n "$1" ] && "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1
}
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
    if works "$p"; then
        # Resolve a pyenv shim to the interpreter itself.
        "$p" -c 'import sys; print(sys.executable)'
        exit 0
    fi
done
echo "error: no CPython 3.13 found. Looked for 'python3.13' on PATH and for" \
     "\$(pyenv root)/versions/3.13*/bin/python3.13; install CPython 3.13 and retry." >&2
exit 1
