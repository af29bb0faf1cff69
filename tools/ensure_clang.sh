#!/bin/sh
# Makes sure clang++ and its sanitizer and libFuzzer runtimes are installed, from Debian's
# packages, installing them only when they are missing.
have_fuzzer() {
    command -v clang++ >/dev/null 2>&1 || return 1
    lib=$(clang++ -print-file-name=libclang_rt.fuzzer-$(uname -m).a 2>/dev/null)
    [ -f "$lib" ]
}
have_fuzzer && exit 0
if command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
    echo "installing clang and its runtimes (clang, libclang-rt-dev) from Debian's packages"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq clang libclang-rt-dev >/dev/null || exit 1
    have_fuzzer && exit 0
fi
echo "error: the fuzz targets need clang++ with libFuzzer (Debian: apt-get install clang" \
     "libclang-rt-dev)" >&2
exit 1
