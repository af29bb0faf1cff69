"""Shared helpers for the native_accel tests."""

import os
import pathlib
import subprocess
import sys

import pytest

# Set by `make test-asan`, whose module is built with AddressSanitizer.
SANITIZED = os.environ.get("NATIVE_ACCEL_SANITIZED") == "1"


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "address_space_limit: runs a child under RLIMIT_AS; skipped in the sanitizer build, "
        "whose allocator aborts the process where a plain one fails an allocation",
    )


def pytest_collection_modifyitems(config, items):
    if not SANITIZED:
        return
    skip = pytest.mark.skip(reason="RLIMIT_AS makes AddressSanitizer abort, not fail an allocation")
    for item in items:
        if "address_space_limit" in item.keywords:
            item.add_marker(skip)


def run_python(code: str, timeout: float = 60.0) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter (same venv) and returns the finished process."""
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout
    )


def peak_memory_of(code: str) -> tuple[int, int]:
    """(peak resident, peak virtual) bytes of a fresh interpreter that runs `code`.

    The virtual peak matters as much as the resident one: an allocation whose pages are
    never touched costs no resident memory, yet it is what fails on a smaller machine.
    """
    probe = code + (
        "\nimport resource\n"
        "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)\n"
        "print([l for l in open('/proc/self/status') if l.startswith('VmPeak')][0].split()[1])\n"
    )
    done = run_python(probe)
    assert done.returncode == 0, done.stderr
    rss_kib, vm_kib = done.stdout.split()[-2:]
    return int(rss_kib) * 1024, int(vm_kib) * 1024


ROOT = pathlib.Path(__file__).resolve().parent.parent


def native_build_tree():
    """(build directory, cmake) of the C++ build tree that `make install` left under build/
    for this checkout, or None (an installed wheel has none)."""
    for cache in sorted(ROOT.glob("build/*/CMakeCache.txt")):
        values = dict(line.split("=", 1) for line in cache.read_text().splitlines()
                      if "=" in line and not line.startswith(("#", "//")))
        home = values.get("CMAKE_HOME_DIRECTORY:INTERNAL")
        if home and pathlib.Path(home).resolve() == ROOT:
            return cache.parent, values["CMAKE_COMMAND:INTERNAL"]
    return None


def run_native_check(target: str, timeout: float = 300) -> subprocess.CompletedProcess:
    """Builds a native check of bench/CMakeLists.txt in the build tree and runs it."""
    found = native_build_tree()
    if found is None:
        pytest.skip("no C++ build tree of this checkout under build/")
    tree, cmake = found
    # Configure again so that a tree made before the target existed learns it.
    subprocess.run([cmake, str(tree)], check=True, capture_output=True)
    subprocess.run([cmake, "--build", str(tree), "--target", target], check=True,
                   capture_output=True)
    return subprocess.run([str(tree / "bench" / target)], capture_output=True, text=True,
                          timeout=timeout)
