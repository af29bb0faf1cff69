"""Runs the native checks of the shuffle bodies (tests/native/shuffle_check.cpp): the
division-free draw against the plain one, the scalar and AVX2 lane match paths against the
reference test seed by seed, and the exact progress texts. They need the C++ build tree
that `make install` leaves under build/; elsewhere (an installed wheel) they are skipped."""

import pathlib
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def build_tree():
    for cache in sorted(ROOT.glob("build/*/CMakeCache.txt")):
        values = dict(line.split("=", 1) for line in cache.read_text().splitlines()
                      if "=" in line and not line.startswith(("#", "//")))
        home = values.get("CMAKE_HOME_DIRECTORY:INTERNAL")
        if home and pathlib.Path(home).resolve() == ROOT:
            return cache.parent, values["CMAKE_COMMAND:INTERNAL"]
    return None


def test_native_shuffle_checks():
    found = build_tree()
    if found is None:
        pytest.skip("no C++ build tree of this checkout under build/")
    tree, cmake = found
    # Configure again so that a tree made before bench/ existed learns its targets.
    subprocess.run([cmake, str(tree)], check=True, capture_output=True)
    subprocess.run([cmake, "--build", str(tree), "--target", "shuffle_check"], check=True,
                   capture_output=True)
    done = subprocess.run([str(tree / "bench" / "shuffle_check")], capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr + done.stdout
    assert "0 failure(s)" in done.stdout
