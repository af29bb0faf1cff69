"""Runs the native checks (tests/native/): C++ programs over the bodies, built with their
asserts compiled in, in the C++ build tree that `make install` leaves under build/;
elsewhere (an installed wheel) they are skipped. They do not touch the interpreter, so they
run in the plain build only: under the sanitizer build the fuzz targets run the same bodies
with ASan and UBSan, and a free-threaded interpreter changes nothing they check.

- shuffle_check: the division-free draw against the plain one; the scan against the
  reference test seed by seed and its end items against real shuffles; the position ranges
  and the consistency of layouts with ties; the solver's predecessor index and runs against
  a plain search of a unit's states, and the solver against the reference test and a plain
  scan (at both ends of the seed range, near the layout's seed, after long runs of
  rejections), for every size from 2 to 40 items and a spread up to 32768; the exact
  progress texts;
- planted_violation: breaks an invariant on purpose and must abort on its assert, which
  shows that the checks really run the bodies' asserts;
- encoder_check: every search-tree variant kept in bench/encoder_variants.hpp, and the
  module's encoders with each of their choices pinned, against the plain transcription of
  the format's rules, byte for byte, on generated text, runs, gradients, noise and
  window-edge repeats at every level; the module's tree also checks its prefix-group
  entries after every change on the smaller inputs;
- search_check: the seed search with several worker threads and with one, solved and
  scanned, from below, between and above a seed's twins, interrupted, at the top of the
  seed range and on a layout no order makes, with its progress lines captured from file
  descriptor 2 (one whole line per monitor round, "\n"-terminated, never going back).

tools/cross_check.sh builds and runs the same checks for aarch64 Linux and for Windows.
"""

import pathlib
import signal
import subprocess
import sys
import sysconfig

import pytest

from conftest import SANITIZED

ROOT = pathlib.Path(__file__).resolve().parent.parent

pytestmark = [
    pytest.mark.skipif(SANITIZED, reason="C++ programs that do not touch the interpreter: the "
                       "plain build runs them, the fuzz targets run the bodies under ASan"),
    pytest.mark.skipif(bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
                       reason="C++ programs that do not touch the interpreter: the plain "
                       "build runs them"),
]


def build_tree():
    """The C++ build tree of this checkout made for the running interpreter's environment
    (each venv builds into a tree of its own)."""
    for cache in sorted(ROOT.glob("build/*/CMakeCache.txt")):
        values = dict(line.split("=", 1) for line in cache.read_text().splitlines()
                      if "=" in line and not line.startswith(("#", "//")))
        home = values.get("CMAKE_HOME_DIRECTORY:INTERNAL")
        python = values.get("Python_EXECUTABLE:PATH")
        if (home and python and pathlib.Path(home).resolve() == ROOT
                and pathlib.Path(python).parent.parent.resolve()
                == pathlib.Path(sys.prefix).resolve()):
            return cache.parent, values["CMAKE_COMMAND:INTERNAL"]
    return None


@pytest.fixture(scope="module")
def native():
    """Builds a native check on request and runs it."""
    found = build_tree()
    if found is None:
        pytest.skip("no C++ build tree of this checkout under build/")
    tree, cmake = found
    # Configure again so that a tree made before a program existed learns its target.
    subprocess.run([cmake, str(tree)], check=True, capture_output=True)

    def run(target: str) -> subprocess.CompletedProcess:
        subprocess.run([cmake, "--build", str(tree), "--target", target], check=True,
                       capture_output=True)
        return subprocess.run([str(tree / "bench" / target)], capture_output=True, text=True,
                              timeout=300)

    return run


def test_native_shuffle_checks(native):
    done = native("shuffle_check")
    assert done.returncode == 0, done.stderr + done.stdout
    assert "0 failure(s)" in done.stdout


def test_a_planted_violation_aborts_on_its_assert(native):
    done = native("planted_violation")
    assert done.returncode == -signal.SIGABRT, done.stdout + done.stderr
    assert "count <= valid_" in done.stderr


def test_seed_search_with_threads_and_progress_lines(native):
    done = native("search_check")
    assert done.returncode == 0, done.stderr + done.stdout
    assert " 0 failure(s)" in done.stdout


def test_every_encoder_variant_matches_the_plain_one(native):
    done = native("encoder_check")
    assert done.returncode == 0, done.stderr + done.stdout
    assert " 0 failure(s)" in done.stdout
