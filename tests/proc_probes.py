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
