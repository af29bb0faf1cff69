"""The seed search seen from outside: its progress lines on standard error and Ctrl-C,
each in a child process running a search that would take minutes."""

import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

TOTAL_SEEDS = 2**32
LINE = re.compile(
    r"\[test-shuffle\] next_seed=(\d+) elapsed=(\d+\.\d)s rate~(\d+)/s "
    r"ETA=(\d{2,}):(\d{2}):(\d{2})\n"
)

# The child searches for LASTING_SEARCH: no item can open it, so every seed is a miss, and
# its sizes wrap, so the search tests seed after seed (about 2 million a second) where
# one the solver judges would end at once.
# The child installs Python's own Ctrl-C handler: a process started from a shell's
# background job inherits SIGINT ignored, and the interpreter then leaves it ignored.
CHILD = f"""
import signal
import sys
sys.path.insert(0, {str(Path(__file__).parent)!r})
import native_accel as na
from call_cases import LASTING_SEARCH as target
signal.signal(signal.SIGINT, signal.default_int_handler)
progress_iv = None if sys.argv[1] == "None" else float(sys.argv[1])
seed0 = int(sys.argv[2])
print("ready", flush=True)
try:
    print("result", na.find_shuffle_seed_first(target, seed0, 1, None, progress_iv), flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


def run_child(progress_iv, seconds, seed0=0):
    """Runs a search for about `seconds`, then interrupts it if it is still running.
    Returns the child's stdout and stderr and how long it took to end after SIGINT."""
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(progress_iv), str(seed0)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(seconds)
        sent = time.monotonic()
        if child.poll() is None:
            child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
    finally:
        if child.poll() is None:  # a search that ignored Ctrl-C would run for hours
            child.kill()
            child.communicate()
    assert child.returncode == 0, err
    return out, err, time.monotonic() - sent


def parse(err):
    lines = err.splitlines(keepends=True)
    parsed = []
    for line in lines:
        match = LINE.fullmatch(line)
        assert match, f"not a progress line: {line!r}"
        seed, elapsed, rate, h, m, s = match.groups()
        parsed.append((int(seed), float(elapsed), int(rate),
                       int(h) * 3600 + int(m) * 60 + int(s)))
    return parsed


def test_interrupt_ends_the_search_promptly():
    out, err, took = run_child(0, 0.4)
    assert out == "interrupted\n"
    assert err == ""
    assert took < 1.5  # one 50 ms round plus the child's exit


def test_progress_lines():
    seed0 = 1000
    out, err, _ = run_child(0.2, 1.35, seed0)
    assert out.endswith("interrupted\n")
    lines = parse(err)
    assert 3 <= len(lines) <= 8
    # The first line comes one interval after the workers started, the next ones an
    # interval rounded up to the monitor's 50 ms rounds apart.
    assert 0.2 <= lines[0][1] <= 0.6
    gaps = [b[1] - a[1] for a, b in zip(lines, lines[1:])]
    assert all(0.1 <= gap <= 0.6 for gap in gaps), gaps
    total = TOTAL_SEEDS - seed0
    for seed, elapsed, rate, eta in lines:
        tested = seed - seed0
        assert tested % 1024 == 0  # one worker publishes whole batches while it runs
        # elapsed and rate are printed rounded; the exact values lie within half a unit.
        low, high = elapsed - 0.05, elapsed + 0.05
        assert (rate - 0.5) * low <= tested <= (rate + 0.5) * high
        if tested:
            assert (total - tested) * low / tested - 1 <= eta
            assert eta <= (total - tested) * high / tested + 1
        else:
            assert rate == 0 and eta == 0
    assert [line[0] for line in lines] == sorted(line[0] for line in lines)


def test_default_interval_is_one_second():
    out, err, _ = run_child(None, 1.45)
    assert len(parse(err)) == 1


def test_tiny_interval_reports_every_round():
    out, err, _ = run_child(1e-9, 0.8)
    assert 6 <= len(parse(err)) <= 17  # one line per 50 ms round


@pytest.mark.parametrize("progress_iv", [0.0, -1.0, float("nan"), float("inf"), 2.0**64])
def test_no_lines(progress_iv):
    out, err, _ = run_child(progress_iv, 0.4)
    assert out.endswith("interrupted\n")
    assert err == ""


def test_search_runs_out_of_seeds_with_lines():
    # Near the top of the range the search ends by itself, after rounds enough to report
    # (3 million seeds at the child's rate); next_seed never passes the last seed.
    seed0 = TOTAL_SEEDS - 3_000_000
    child = subprocess.run([sys.executable, "-c", CHILD, "1e-9", str(seed0)],
                           capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    assert child.stdout == "ready\nresult None\n"
    lines = parse(child.stderr)
    assert lines
    for seed, *_ in lines:
        assert seed0 <= seed <= TOTAL_SEEDS - 1
