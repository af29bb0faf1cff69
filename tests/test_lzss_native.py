"""Runs the native check of the encoders (tests/native/encoder_check.cpp): every search-tree
variant kept in bench/encoder_variants.hpp, and the module's encoders with each of their
descents pinned, against the plain transcription of the format's rules, byte for byte, on
generated text, runs, gradients, noise and window-edge repeats at every level; the module's
tree also checks its group entries after every change on the smaller inputs. It needs the
C++ build tree that `make install` leaves under build/; elsewhere it is skipped."""

from conftest import run_native_check


def test_every_variant_matches_the_plain_encoder():
    done = run_native_check("encoder_check")
    assert done.returncode == 0, done.stderr + done.stdout
    assert " 0 failure(s)" in done.stdout
