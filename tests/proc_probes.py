"""What the process looks like from /proc: resident size and number of threads (Linux)."""

import os


def rss() -> int:
    """Resident set size in bytes."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def thread_count() -> int:
    """Threads of this process, the interpreter's and native ones alike."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    raise AssertionError("no Threads line in /proc/self/status")


def thread_count_settled(expected: int, timeout: float = 5.0) -> int:
    """The thread count once it has come down to `expected`, or as it is after `timeout`.

    A joined thread can still be listed for a moment while the kernel tears it down (the
    more so under a sanitizer), so a count read right after a join may be one high; a
    thread that was really left behind stays, and the count stays above `expected`.
    """
    import time

    deadline = time.monotonic() + timeout
    while (count := thread_count()) > expected and time.monotonic() < deadline:
        time.sleep(0.01)
    return count
