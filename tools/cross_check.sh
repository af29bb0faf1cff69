#!/usr/bin/env bash
# Builds the bodies, the native checks and the fuzz targets for another platform and runs
# them there, under emulation:
#
#   tools/cross_check.sh aarch64   g++ for aarch64 Linux, run by qemu-aarch64 (user mode)
#   tools/cross_check.sh windows   mingw-w64 g++ (posix threads) for x64 Windows, run by wine
#   tools/cross_check.sh PLATFORM --tools-only   only makes sure the toolchain is installed
#
# The toolchain and the emulator come from Debian's packages, installed when missing (as
# root). The binding layer needs the target's CPython headers and libraries, which cannot
# be had here, so the module itself is not built; nothing here needs Python. Everything
# lands in build/cross-<platform>/ (tools/cross_build.mk); a second run rebuilds only what
# changed. Each native check must exit 0, except planted_violation, which must abort on
# its assert; each fuzz target runs its seeds and CROSS_FUZZ_INPUTS inputs made from them
# (fuzz/standalone_driver.cpp).
set -euo pipefail
platform=${1:-}
tools_only=${2:-}
cd "$(dirname "$0")/.."
fuzz_inputs=${CROSS_FUZZ_INPUTS:-1000}

case $platform in
aarch64)
    cross=aarch64-linux-gnu-
    cxx=${cross}g++
    packages=(g++-aarch64-linux-gnu qemu-user)
    exe=
    find_runner() { command -v qemu-aarch64 || command -v qemu-aarch64-static; }
    # An abort ends the emulated program with SIGABRT, which qemu passes on: 128 + 6.
    abort_status=134
    ;;
windows)
    cross=x86_64-w64-mingw32-
    cxx=${cross}g++-posix
    packages=(g++-mingw-w64-x86-64-posix wine64)
    exe=.exe
    # Debian's wine64 package keeps its loader out of PATH (the wine package adds a wrapper).
    find_runner() { command -v wine64 || { [ -x /usr/lib/wine/wine64 ] && echo /usr/lib/wine/wine64; }; }
    # The C runtime's abort() ends the process with exit code 3.
    abort_status=3
    ;;
*)
    echo "usage: tools/cross_check.sh aarch64|windows" >&2
    exit 2
    ;;
esac
out=build/cross-$platform

have_tools() { command -v "$cxx" >/dev/null 2>&1 && find_runner >/dev/null 2>&1; }
if ! have_tools; then
    if command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
        echo "installing ${packages[*]} from Debian's packages"
        export DEBIAN_FRONTEND=noninteractive
        { apt-get update -qq && apt-get install -y -qq --no-install-recommends \
              "${packages[@]}" >/dev/null; } || echo "apt-get could not install them" >&2
    fi
    if ! have_tools; then
        echo "error: the $platform check needs $cxx and its emulator (Debian, as root:" \
             "apt-get install ${packages[*]})" >&2
        exit 1
    fi
fi
runner=$(find_runner)
[ "$tools_only" = --tools-only ] && exit 0

started=$SECONDS
make --no-print-directory -s -f tools/cross_build.mk -j"$(nproc)" \
    CROSS="$cross" CXX="$cxx" OUT="$out" EXE="$exe"
echo "$platform: built in $((SECONDS - started))s with $("$cxx" -dumpfullversion) ($cxx)"

if [ "$platform" = windows ]; then
    # A prefix of its own under build/, made on the first run: wineboot without a display,
    # without the .NET and browser add-ons (which would ask to be downloaded), and quiet.
    export WINEPREFIX=$PWD/$out/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY WAYLAND_DISPLAY
    wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        booted=$SECONDS
        "$runner" wineboot --init </dev/null >/dev/null 2>&1
        "$wineserver" -w
        echo "windows: wine prefix made in $((SECONDS - booted))s ($("$runner" --version))"
    fi
fi

# Runs an emulated program from inside $out, so that the paths it is given and the files it
# writes stay relative (a Windows program reads /x as \x on its current drive).
run() (cd "$out" && "$runner" "$@" </dev/null)

# One program: a native check (must exit 0; planted_violation must abort on its assert) or
# a fuzz target (writes its seeds, then runs them and the made inputs). Prints one line,
# "NAME: ..." on success or "NAME: FAILED ..." with the log's tail, and sets the status.
check_one() {
    local name=$1 log=$out/$1.log started=$SECONDS code=0
    case $name in
    planted_violation)
        # It breaks an invariant on purpose: only an abort on the assert shows that the
        # checks run the bodies' asserts.
        run "./$name$exe" >"$log" 2>&1 || code=$?
        if [ "$code" = "$abort_status" ] && grep -q "count <= valid_" "$log"; then
            echo "$name: aborted on its assert, as it must"
            return 0
        fi
        echo "$name: FAILED: exit status $code, want the abort on its assert (log $log)"
        cat "$log"
        return 1
        ;;
    fuzz_*)
        local seeds=seeds/$name max_len
        rm -rf "${out:?}/$seeds"
        if ! max_len=$(NATIVE_ACCEL_FUZZ_SEED_DIR=$seeds run "./$name$exe" 2>"$log"); then
            echo "$name: FAILED to write its seeds (log $log)"
            cat "$log"
            return 1
        fi
        # A Windows program ends its printed line with "\r\n".
        if ! run "./$name$exe" "$seeds" "${max_len//[^0-9]/}" "$fuzz_inputs" >"$log" 2>&1; then
            echo "$name: FAILED; the failing input is $out/$seeds/crash-input (log $log)"
            tail -n 30 "$log"
            return 1
        fi
        ;;
    *)
        if ! run "./$name$exe" >"$log" 2>&1; then
            echo "$name: FAILED (log $log)"
            tail -n 30 "$log"
            return 1
        fi
        ;;
    esac
    echo "$name: $(tail -n 1 "$log" | tr -d '\r') ($((SECONDS - started))s)"
}

# Every check, as many at a time as there are cores; the results in a fixed order.
names=()
for source in tests/native/*.cpp fuzz/fuzz_*.cpp; do names+=("$(basename "$source" .cpp)"); done
started=$SECONDS
for name in "${names[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do wait -n || true; done
    { check_one "$name" && echo ok || echo failed; } >"$out/$name.result" 2>&1 &
done
wait
passed=0
failed=0
for name in "${names[@]}"; do
    sed '$d' "$out/$name.result"
    if [ "$(tail -n 1 "$out/$name.result")" = ok ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
    fi
done
# The wine server ends a few seconds after its last program; wait for it.
if [ "$platform" = windows ]; then "$wineserver" -w; fi
echo "$platform: checks ran in $((SECONDS - started))s"
echo "$platform: $passed passed, $failed failed"
[ "$failed" = 0 ]
