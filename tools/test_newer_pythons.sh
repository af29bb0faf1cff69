#!/usr/bin/env bash
# Runs the whole test suite and the examples on CPython 3.14 and 3.15 as Debian ships them,
# each in the same Debian unstable root, made once with debootstrap and cached.
#
#   tools/test_newer_pythons.sh [--prepare | --host-tools] [VERSION...]
#
# VERSION defaults to "3.14 3.15": the root gets python3.X-dev and python3.X-venv for each,
# from Debian's binary packages (Debian has no free-threaded build of either, and their
# source packages cannot be fetched here, so nothing is built but the module). For each
# interpreter the module is built and installed in the root from a copy of this tree, in a
# venv and a build tree of its own (.venv-3.X, build/cp3X-...), then the pytest suite, the
# examples (`make demo`) and the benchmark smoke of `make test` run there. The fuzz targets
# of `make test` do not: clang builds them from the C++ bodies alone, without the
# interpreter, so a newer Python changes nothing they check. --prepare makes the root
# and builds the module for each interpreter, and runs nothing; --host-tools only checks
# this machine and installs debootstrap when it is missing (so that CI can do its apt-get
# runs one at a time before it starts the background jobs).
#
# The root is kept in ${XDG_CACHE_HOME:-$HOME/.cache}/native_accel/debian-unstable-root,
# beside the free-threaded interpreter of tools/build_cpython.sh; later runs only copy the
# tree, rebuild and test. It needs root (debootstrap, chroot, mounts), debootstrap (installed
# from Debian's packages when missing) and Debian's archive keyring. The mirror is the one
# this machine's apt sources name (NATIVE_ACCEL_DEBIAN_MIRROR overrides it).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

say() { echo "test_newer_pythons: $*" >&2; }
fail() { echo "test_newer_pythons: error: $*" >&2; exit 1; }

prepare_only=0
host_tools_only=0
case "${1:-}" in
    --prepare) prepare_only=1; shift ;;
    --host-tools) host_tools_only=1; shift ;;
esac
versions=("$@")
[ "${#versions[@]}" -gt 0 ] || versions=(3.14 3.15)
for version in "${versions[@]}"; do
    [[ "$version" =~ ^3\.[0-9]+$ ]] || fail "'$version' is not a version such as 3.14"
done
packages=(g++ make ca-certificates)
for version in "${versions[@]}"; do
    packages+=("python$version-dev" "python$version-venv")
done

cache="${XDG_CACHE_HOME:-$HOME/.cache}/native_accel"
root="$cache/debian-unstable-root"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
# Inside the root: the copy of this tree, and the environment every command there gets.
# `env -i` keeps this machine's settings out (its pip configuration and PIP_* variables
# name package folders that exist only here); the root's pip reaches the package index on
# its own, with the certificates copied below.
tree=/work/native_accel
clean_env=(/usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
           HOME=/root LANG=C.UTF-8 TERM=dumb DEBIAN_FRONTEND=noninteractive)

# ---- What this machine must have -----------------------------------------------------------
[ "$(id -u)" = 0 ] || fail "run as root: debootstrap, chroot and mounting proc, sys and dev need it"
for tool in chroot mount umount mountpoint flock tar; do
    command -v "$tool" >/dev/null 2>&1 || fail "'$tool' is missing (Debian: coreutils, util-linux, mount, tar)"
done
if ! command -v debootstrap >/dev/null 2>&1; then
    command -v apt-get >/dev/null 2>&1 || fail "debootstrap is missing, and there is no apt-get to install it"
    say "installing debootstrap from Debian's packages"
    { DEBIAN_FRONTEND=noninteractive apt-get update -qq \
        && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null; } \
        || fail "could not install debootstrap (apt-get install debootstrap)"
fi
[ -f "$keyring" ] || fail "no Debian archive keyring at $keyring (apt-get install debian-archive-keyring)"
[ "$host_tools_only" = 0 ] || exit 0

# The first Debian mirror (not the security one) in this machine's apt sources, one-line or
# deb822 style.
mirror_of_this_machine() {
    local file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk '/^[[:space:]]*deb[[:space:]]/ { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; break } }
             /^URIs:/ { for (i = 2; i <= NF; i++) print $i }' "$file"
    done | grep -E '^https?://[^[:space:]]+/debian/?$' | head -n 1
}
mirror="${NATIVE_ACCEL_DEBIAN_MIRROR:-$(mirror_of_this_machine || true)}"
mirror="${mirror:-http://deb.debian.org/debian}"

mkdir -p "$cache" "$repo/build"
exec 9>"$cache/.debian-unstable-root.lock"
flock 9  # one run at a time, whichever clone asks: they share the root

# ---- proc, sys and dev in the root, for as long as this script runs ------------------------
mounted=()
unmount_all() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" \
            || say "warning: could not unmount ${mounted[i]}"
    done
    mounted=()
}
trap unmount_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A run that was killed outright may have left its mounts behind: they go first, and nothing
# is ever removed while something is mounted below it (a bound /dev would go with it).
unmount_stale() {
    local dir=$1 point
    for point in dev/pts dev sys proc; do
        if mountpoint -q "$dir/$point" 2>/dev/null; then
            umount "$dir/$point" 2>/dev/null || umount -l "$dir/$point"
        fi
    done
    ! awk -v dir="$dir/" 'index($2, dir) == 1 { found = 1 } END { exit !found }' /proc/self/mounts \
        || fail "something is still mounted below $dir; unmount it first"
}
mount_all() {
    local dir=$1
    unmount_stale "$dir"
    mount -t proc proc "$dir/proc" && mounted+=("$dir/proc")
    mount --bind /sys "$dir/sys" && mounted+=("$dir/sys")
    mount --bind /dev "$dir/dev" && mounted+=("$dir/dev")
    # apt logs its package scripts through a pseudo-terminal.
    mount --bind /dev/pts "$dir/dev/pts" && mounted+=("$dir/dev/pts")
}
in_root() { chroot "$root" "${clean_env[@]}" "$@"; }

started=$(date +%s)
elapsed() { echo "$(( $(date +%s) - $1 )) s"; }

# ---- The root: debootstrap once, then the packages and certificates it lacks ---------------
if [ ! -x "$root/usr/bin/apt-get" ]; then
    unmount_stale "$root"
    rm -rf --one-file-system "$root" "$root.new"
    say "making a Debian unstable root with debootstrap from $mirror (once; kept in $root)"
    step=$(date +%s)
    # debootstrap checks the Release file's signature, not its Valid-Until date.
    debootstrap --variant=minbase --keyring="$keyring" unstable "$root.new" "$mirror" \
        >"$cache/debootstrap.log" 2>&1 \
        || { tail -n 20 "$cache/debootstrap.log" >&2; fail "debootstrap failed (log: $cache/debootstrap.log)"; }
    # This mirror's unstable suite no longer moves: its Release file is past the
    # Valid-Until date it states, which apt refuses unless told otherwise.
    echo 'Acquire::Check-Valid-Until "false";' >"$root.new/etc/apt/apt.conf.d/99native-accel-frozen-suite"
    mv "$root.new" "$root"
    say "debootstrap took $(elapsed "$step")"
fi
mount_all "$root"

wanted="${packages[*]}"
if [ "$(cat "$root/.native_accel-packages" 2>/dev/null)" != "$wanted" ]; then
    say "installing ${packages[*]} in the root"
    step=$(date +%s)
    in_root sh -c 'apt-get update -qq && apt-get install -y -qq --no-install-recommends "$@" >/dev/null' \
        apt "${packages[@]}" || fail "apt-get install in the root failed"
    echo "$wanted" >"$root/.native_accel-packages"
    say "the packages took $(elapsed "$step")"
fi

# pip in the root reaches the package index through this machine's network, which needs
# the extra certificates this machine adds to Debian's local certificate folder.
certificates_changed=0
for certificate in /usr/local/share/ca-certificates/*.crt; do
    [ -f "$certificate" ] || continue
    target="$root/usr/local/share/ca-certificates/$(basename "$certificate")"
    if ! cmp -s "$certificate" "$target"; then
        cp "$certificate" "$target"
        certificates_changed=1
    fi
done
if [ "$certificates_changed" = 1 ]; then
    in_root update-ca-certificates >"$cache/update-ca-certificates.log" 2>&1 \
        || fail "update-ca-certificates in the root failed (log: $cache/update-ca-certificates.log)"
fi

# ---- This tree, copied into the root -------------------------------------------------------
# What earlier runs built there (their venvs and build trees) stays; everything else is
# replaced by this tree as it is now, committed or not, less this machine's own venvs and
# build trees.
copy="$root$tree"
mkdir -p "$copy"
find "$copy" -mindepth 1 -maxdepth 1 ! -name build ! -name '.venv-3.*' -exec rm -rf {} +
tar -C "$repo" --exclude=./.git --exclude=./build --exclude='./.venv*' --exclude=__pycache__ \
    --exclude=./.hypothesis --exclude=./.pytest_cache -cf - . | tar -C "$copy" -xf -

# ---- Each interpreter: build, then the suite and the examples ------------------------------
results=()
failed=0
for version in "${versions[@]}"; do
    python=/usr/bin/python$version
    venv=.venv-$version
    log="$repo/build/python$version.log"
    step=$(date +%s)
    in_root test -x "$python" || fail "no $python in the root"
    # Rebuilt from the sources just copied (incrementally, in the venv's own build tree).
    rm -f "$copy/$venv/.installed"
    if ! in_root make -C "$tree" --no-print-directory install PYTHON="$python" VENV="$venv" \
            >"$log" 2>&1; then
        tail -n 30 "$log" >&2
        results+=("python$version: FAILED: the build failed (log: $log)")
        failed=1
        continue
    fi
    full_version=$(in_root "$python" -c 'import sys; print(sys.version.split()[0])')
    if [ "$prepare_only" = 1 ]; then
        results+=("CPython $full_version: built in $(elapsed "$step")")
        continue
    fi
    say "CPython $full_version: the suite"
    # The suite's output goes to the terminal and to the log; its last line is the count.
    if in_root sh -c 'cd "$1" && "$2/bin/python" -m pytest -q -p no:cacheprovider' suite "$tree" "$venv" \
            2>&1 | tee -a "$log"; then
        suite_ok=1
    else
        suite_ok=0
    fi
    summary=$(grep -E '^=*[ ]*[0-9]+ (passed|failed)' "$log" | tail -n 1 | tr -d '=' | sed 's/^ *//; s/ *$//')
    if [ "$suite_ok" = 1 ] && in_root make -C "$tree" --no-print-directory demo PYTHON="$python" \
            VENV="$venv" >>"$log" 2>&1 \
        && in_root sh -c 'cd "$1" && "$2/bin/python" bench/run.py --quick --quiet' bench "$tree" \
            "$venv" >>"$log" 2>&1; then
        results+=("CPython $full_version: ${summary:-no count}; the examples and the benchmark smoke ran; $(elapsed "$step") with the build")
    else
        [ "$suite_ok" = 1 ] && { tail -n 30 "$log" >&2; summary="$summary; the examples or the benchmark smoke failed"; }
        results+=("CPython $full_version: FAILED: ${summary:-no count} (log: $log)")
        failed=1
    fi
done

unmount_all
for result in "${results[@]}"; do
    say "$result"
done
say "done in $(elapsed "$started")"
exit "$failed"
