"""Shared helpers for the native_accel tests."""

import os
import subprocess
import sys

import pytest
from hypothesis import settings

# Set by `make test-asan`, whose module is built with AddressSanitizer.
SANITIZED = os.environ.get("NATIVE_ACCEL_SANITIZED") == "1"


def examples(count: int):
    """Hypothesis settings for a property tested on `count` generated examples.

    Under the sanitizer every Python allocation goes through ASan's allocator, so the
    pure-Python models the module is compared with run 10 to 30 times slower there; that
    build runs a quarter of the examples (the plain build runs them all, and the fuzz
    targets run the bodies under ASan for longer)."""
    return settings(max_examples=max(count // 4, 20) if SANITIZED else count, deadline=None)


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
