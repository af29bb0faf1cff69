#!/usr/bin/env bash
# Builds CPython from Debian's source package once, caches the installation, and prints the
# path of its interpreter on stdout (everything else goes to stderr).
#
#   tools/build_cpython.sh [--free-threaded | --gil] [SOURCE_PACKAGE]
#
# SOURCE_PACKAGE defaults to python3.13; --free-threaded (the default) configures with
# --disable-gil. The source comes from the Debian suites in NATIVE_ACCEL_DEBIAN_SUITES
# (default: trixie, Debian 13, with its updates and security suites), fetched by apt-get
# through a private configuration under the cache: this machine's own package sources,
# lists and state are neither read nor changed. The installation is kept in
# ${XDG_CACHE_HOME:-$HOME/.cache}/native_accel/ under the package's exact Debian version,
# so later runs, and other clones, reuse it until Debian publishes a new revision.
set -euo pipefail

mode=free-threaded
case "${1:-}" in
    --free-threaded) shift ;;
    --gil) mode=gil; shift ;;
esac
package="${1:-python3.13}"
suites="${NATIVE_ACCEL_DEBIAN_SUITES:-trixie trixie-updates trixie-security}"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/native_accel"

say() { echo "build_cpython: $*" >&2; }
fail() { echo "build_cpython: error: $*" >&2; exit 1; }

# ---- Tools and headers from this machine's own Debian packages ---------------------------
# CPython builds its optional modules only when their headers are present: ssl (pip needs
# it to reach the package index), zlib (wheels) and ffi (ctypes). apt-get source needs
# dpkg-source from dpkg-dev, and Debian's patches are applied with patch.
needed_packages() {
    command -v gcc >/dev/null 2>&1 && command -v make >/dev/null 2>&1 || echo build-essential
    command -v dpkg-source >/dev/null 2>&1 || echo dpkg-dev
    command -v patch >/dev/null 2>&1 || echo patch
    for dev in libssl-dev zlib1g-dev libffi-dev; do
        dpkg-query -W -f='${Status}\n' "$dev" 2>/dev/null | grep -q 'ok installed' || echo "$dev"
    done
}
command -v apt-get >/dev/null 2>&1 && command -v dpkg-query >/dev/null 2>&1 \
    || fail "this script needs Debian's apt-get and dpkg to fetch and build CPython"
missing=$(needed_packages | tr '\n' ' ')
if [ -n "${missing// }" ]; then
    [ "$(id -u)" = 0 ] || fail "missing Debian packages: $missing(install them as root: apt-get install $missing)"
    say "installing $missing from Debian's packages"
    export DEBIAN_FRONTEND=noninteractive
    { apt-get update -qq && apt-get install -y -qq $missing >/dev/null; } \
        || fail "could not install $missing"
    missing=$(needed_packages | tr '\n' ' ')
    [ -z "${missing// }" ] || fail "still missing after apt-get install: $missing"
fi

# ---- A private apt configuration: its own sources, lists, state and archives -------------
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9  # one run at a time, whichever clone asks: they share the lists and the builds
apt_root="$cache/apt"
mkdir -p "$apt_root"/{etc/sources.list.d,etc/preferences.d,state/lists/partial,cache/archives/partial}
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
[ -f "$keyring" ] || fail "no Debian archive keyring at $keyring (apt-get install debian-archive-keyring)"
{
    for suite in $suites; do
        case "$suite" in
            *-security) echo "deb-src [signed-by=$keyring] http://deb.debian.org/debian-security $suite main" ;;
            *) echo "deb-src [signed-by=$keyring] http://deb.debian.org/debian $suite main" ;;
        esac
    done
} >"$apt_root/etc/sources.list"
apt_options=(
    -o "Dir::Etc::sourcelist=$apt_root/etc/sources.list"
    -o "Dir::Etc::sourceparts=$apt_root/etc/sources.list.d"
    -o "Dir::Etc::preferencesparts=$apt_root/etc/preferences.d"
    -o "Dir::State=$apt_root/state"
    -o "Dir::State::status=$apt_root/state/status"
    -o "Dir::Cache=$apt_root/cache"
    -o "Debug::NoLocking=1"
    -o "APT::Sandbox::User=root"
)
touch "$apt_root/state/status"

suffix=$([ "$mode" = free-threaded ] && echo t || true)
interpreter_of() { echo "$1/bin/${package}${suffix}"; }

# The newest cached installation of this package and mode, for when the archive is out of
# reach.
newest_cached() {
    local found
    found=$(ls -d "$cache/$package-"*"-$mode" 2>/dev/null | sort -V | tail -n 1)
    [ -n "$found" ] && [ -f "$found/.complete" ] && echo "$found"
}

if ! apt-get "${apt_options[@]}" -qq update >"$apt_root/update.log" 2>&1; then
    if cached=$(newest_cached); then
        say "warning: Debian's archive is out of reach (see $apt_root/update.log); using $cached"
        interpreter_of "$cached"
        exit 0
    fi
    fail "could not read Debian's source lists for '$suites' (see $apt_root/update.log)"
fi
# Every version the suites list, newest first. A mirror may list a revision before it
# serves its files (it answers 404 Not Found), and the next one down serves as well here.
mapfile -t versions < <(apt-cache "${apt_options[@]}" showsrc "$package" 2>/dev/null \
                        | awk '/^Version:/ { print $2 }' | sort -u -V -r)
[ "${#versions[@]}" -gt 0 ] || fail "no source package '$package' in Debian's suites '$suites'"
fetched=""
for full_version in "${versions[@]}"; do
    version=${full_version#*:}  # file names leave the epoch out
    prefix="$cache/$package-$version-$mode"
    if [ -f "$prefix/.complete" ]; then
        interpreter_of "$prefix"
        exit 0
    fi
    work="$cache/build-$package-$version-$mode"
    rm -rf "$work" "$prefix"
    mkdir -p "$work"
    say "fetching Debian's source of $package $version"
    if (cd "$work" && apt-get "${apt_options[@]}" -qq source --download-only \
            "$package=$full_version" >"$work/fetch.log" 2>&1); then
        fetched=$version
        break
    fi
    grep '^E:' "$work/fetch.log" >&2 || cat "$work/fetch.log" >&2
    say "warning: $package $version is listed but cannot be fetched"
    rm -rf "$work"
done
[ -n "$fetched" ] || fail "no listed version of $package (${versions[*]}) could be fetched"

# ---- Configure, build, install -------------------------------------------------------------
dsc="${package}_$version.dsc"
source_dir="$work/$package"
dpkg-source -x --skip-patches "$work/$dsc" "$source_dir" >>"$work/fetch.log" 2>&1 \
    || { cat "$work/fetch.log" >&2; fail "could not unpack $dsc"; }
[ -x "$source_dir/configure" ] || fail "no configure script in the unpacked source ($source_dir)"

# Debian's patches, in the order of their series, except the two that move site-packages
# to Debian's /usr layout (dist-packages, the deb_system and posix_local schemes): they are
# for the system interpreter, and with them a free-threaded venv looks for lib/python3.X
# while pip installs into lib/python3.Xt, so nothing installed in the venv can be imported.
skipped_patches=" distutils-install-layout.diff sysconfig-debian-schemes.diff "
while read -r patch_name patch_options; do
    case "$patch_name" in ''|'#'*) continue ;; esac
    case "$skipped_patches" in *" $patch_name "*) continue ;; esac
    patch -d "$source_dir" --quiet --forward ${patch_options:--p1} \
        <"$source_dir/debian/patches/$patch_name" >>"$work/fetch.log" 2>&1 \
        || { tail -n 20 "$work/fetch.log" >&2; fail "Debian's patch $patch_name does not apply"; }
done <"$source_dir/debian/patches/series"

# A test interpreter, built for speed: no PGO or LTO, no test modules, no pip in the base
# installation (each venv gets its own from ensurepip), nice so that others' measurements
# on the same machine suffer less.
configure_flags=(--prefix="$prefix" --without-ensurepip --disable-test-modules)
[ "$mode" = free-threaded ] && configure_flags+=(--disable-gil)
jobs=$(nproc 2>/dev/null || echo 2)
say "building $package $version ($mode) with $jobs jobs; logs in $work"
started=$(date +%s)
(
    cd "$source_dir"
    nice -n 10 ./configure "${configure_flags[@]}" >"$work/configure.log" 2>&1 \
        || { tail -n 30 "$work/configure.log" >&2; exit 1; }
    nice -n 10 make -j"$jobs" >"$work/make.log" 2>&1 || { tail -n 30 "$work/make.log" >&2; exit 1; }
    nice -n 10 make install >"$work/install.log" 2>&1 || { tail -n 30 "$work/install.log" >&2; exit 1; }
) || fail "building $package $version failed (logs in $work)"

python=$(interpreter_of "$prefix")
# The modules that pip and the tests need, and the build mode asked for.
"$python" - "$mode" <<'EOF' || fail "the built interpreter lacks a module it needs (see $work/make.log)"
import sys, sysconfig
import ssl, zlib, ctypes  # noqa: F401 - pip's downloads, wheels, ctypes users
free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
assert free_threaded == (sys.argv[1] == "free-threaded"), "wrong build mode"
EOF
echo "$version" >"$prefix/.complete"
rm -rf "$work"
say "built $package $version ($mode) in $(( $(date +%s) - started )) s: $python"
echo "$python"
