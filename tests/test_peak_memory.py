"""Peak memory: a result is built once, in the object that is returned.

The decoders and the encoder create their result `bytes` object at its largest possible
size, write straight into it and shrink it once, so the peak resident size of a call grows
by about the result's size, where a work buffer followed by a copy into a new object would
double it. Each case runs in a fresh interpreter: the input is made first, then the peak
is reset (`5` written to /proc/self/clear_refs) and read back after the call from VmHWM.
"""

from __future__ import annotations

import os
import textwrap

import pytest

from conftest import SANITIZED, run_python

MIB = 1 << 20
# What the interpreter itself may add around one call (allocator arenas, the call's frame).
SLACK = 4 * MIB

pytestmark = [
    pytest.mark.skipif(not os.path.exists("/proc/self/clear_refs"), reason="needs Linux's /proc"),
    pytest.mark.skipif(SANITIZED, reason="the sanitizer's shadow memory and quarantine "
                                         "inflate every resident size"),
]

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))

PROBE = """
import os, sys
sys.path.insert(0, {tests!r})
import native_accel as na
from call_cases import lzss32_runs, lzss_groups

def peak():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024

data = {make}
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = peak()
result = na.{function}(data)
print(len(result), peak() - before)
"""

CASES = [
    # function, input, least size of the result, allowed growth as a multiple of the result
    ("lzss_unpack", "lzss_groups(128 << 20)", 128 * MIB, 1.1),
    ("lzss32_unpack", "lzss32_runs(128 << 20)", 128 * MIB, 1.1),
    # Random bytes are nearly all literals: the stream is nearly 9/8 of the input, and the
    # encoder reserves that bound (plus the header and a tail group) up front.
    ("lzss_pack", "os.urandom(24 << 20)", 24 * MIB, 1.25),
]


@pytest.mark.parametrize("function, make, size, factor", CASES, ids=[c[0] for c in CASES])
def test_a_call_grows_the_peak_by_about_its_result(function, make, size, factor):
    done = run_python(textwrap.dedent(PROBE).format(tests=TESTS_DIR, make=make,
                                                    function=function), timeout=300)
    assert done.returncode == 0, done.stderr
    length, growth = (int(v) for v in done.stdout.split())
    assert length >= size
    assert growth <= factor * length + SLACK, f"peak grew by {growth / MIB:.1f} MiB"
