"""The type stub as type checkers see the installed package.

mypy takes an installed module's types only from a package marked py.typed or from a
stub-only package, so a stub lying beside an extension module is not enough: the wheel
also ships `native_accel-stubs`; pyright reads the stub beside the module. Here both check
a small usage file against what is installed, each in its strict mode: correct calls must
pass, and wrong arguments and wrong uses of a result must be reported on their own lines
with the expected error code.
"""

import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig

import pytest

from conftest import SANITIZED

# Every build installs the same stub files, and mypy reads them without loading the module,
# so one run in the plain build covers them all (a cold mypy costs 15 s or more).
pytestmark = pytest.mark.skipif(
    SANITIZED or bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
    reason="the stub files are the same in every build: the plain build type-checks them")

# Lines of the usage file that mypy must accept, in this order from line 1.
CORRECT = [
    'import native_accel',
    'buf = bytearray(8)',
    'packed: bytes = native_accel.lzss_pack(b"text", suppress_empty_tail_group=True)',
    'packed = native_accel.lzss_pack_level(packed, 3)',
    'packed = native_accel.lzss_unpack(packed)',
    'packed = native_accel.lzss32_unpack(native_accel.lzss32_pack(bytes(8)))',
    'native_accel.xor_cycle_inplace(buf, b"key", 2**63)',
    'digest: bytes = native_accel.md5_digest(b"abc")',
    'pcm: bytes = native_accel.nwa_decode_pcm(bytes(44))',
    'native_accel.tile_copy(buf, bytes(8), 2, 1, b"\\x00\\xff", 2, 1, 0, 0, False, 1)',
    'state: int = native_accel.msvcrand_shuffle_inplace(1, ["a", "b"])',
    'seed: int | None = native_accel.find_shuffle_seed_first([(0, 1), (1, 1)], 0, None, None, None)',
    'seed = native_accel.find_shuffle_seed_first(((0, 1),), 5, 2, 64, 0.5)',
    'names: list[str] = native_accel.__all__',
    # Integer parameters take any object with __index__, as the module converts them.
    'import numpy',
    'packed = native_accel.lzss_pack_level(b"x", numpy.uint8(3))',
    'native_accel.tile_copy(buf, b"", True, numpy.int64(1), b"", 1, 1, -1, numpy.int32(0), '
    'False, numpy.uint8(9))',
    'state = native_accel.msvcrand_shuffle_inplace(numpy.uint32(7), [1, "b", None])',
    'seed = native_accel.find_shuffle_seed_first([(numpy.int32(0), 1), (1, 1)], '
    'numpy.uint32(0), numpy.int8(1), None, 1)',
]

# Lines that follow them, each with the error code mypy must report on it and a part of
# its message (for argument types, the type the stub declares), and the rule pyright must
# report it under (None: pyright has no such check).
WRONG = [
    # Argument types the module refuses at run time.
    ('native_accel.md5_digest("abc")', ("arg-type", 'expected "bytes"'), "reportArgumentType"),
    ('native_accel.md5_digest(bytearray(b"abc"))', ("arg-type", 'expected "bytes"'),
     "reportArgumentType"),
    ('native_accel.xor_cycle_inplace(b"ab", b"k", 0)', ("arg-type", 'expected "bytearray"'),
     "reportArgumentType"),
    ('native_accel.lzss_pack(b"a", 1)', ("arg-type", 'expected "bool"'), "reportArgumentType"),
    ('native_accel.msvcrand_shuffle_inplace(1, (1, 2))', ("arg-type", 'expected "list'),
     "reportArgumentType"),
    ('native_accel.xor_cycle_inplace(buf, b"k", 1.0)', ("arg-type", 'expected "SupportsIndex"'),
     "reportArgumentType"),
    ('native_accel.find_shuffle_seed_first("ab", 0, None, None, None)',
     ("arg-type", 'expected "Sequence[tuple[SupportsIndex, SupportsIndex]]"'),
     "reportArgumentType"),
    ('native_accel.find_shuffle_seed_first([(0, 1), (1, 2)], 0, None, None, "1")',
     ("arg-type", 'expected "float | None"'), "reportArgumentType"),
    # Parameter names and counts.
    ('native_accel.lzss_pack(b"a", level=3)', ("call-arg", 'keyword argument "level"'),
     "reportCallIssue"),
    ('native_accel.find_shuffle_seed_first([(0, 1)], 0)', ("call-arg", "Missing positional"),
     "reportCallIssue"),
    ('native_accel.lzss_packs(b"")', ("attr-defined", '"lzss_packs"'),
     "reportAttributeAccessIssue"),
    # Results used as what they are not.
    ('text: str = native_accel.lzss_unpack(b"")', ("assignment", 'expression has type "bytes"'),
     "reportAssignmentType"),
    ('count: int = native_accel.find_shuffle_seed_first([], 0, None, None, None)',
     ("assignment", '"int | None"'), "reportAssignmentType"),
    ('native_accel.md5_digest(b"a") + "x"', ("operator", '"bytes" and "str"'),
     "reportOperatorIssue"),
    ('nothing = native_accel.xor_cycle_inplace(buf, b"k", 0)', ("func-returns-value", ""), None),
]

REPORT = re.compile(r"^usage\.py:(\d+): error: (.*?)  \[([a-z-]+)\]$")

# MYPYPATH and PYTHONPATH could put a stub other than the installed one on
# mypy's search path.
STRIPPED_ENV = ("MYPYPATH", "PYTHONPATH")


def case_id(line: str) -> str:
    return line.replace("native_accel.", "")[:50]


@pytest.fixture(scope="module")
def usage(tmp_path_factory):
    """A folder of its own holding usage.py (CORRECT + WRONG), and an environment without
    the variables that could put another stub on the checkers' search path."""
    folder = tmp_path_factory.mktemp("typing")
    lines = CORRECT + [line for line, _, _ in WRONG]
    (folder / "usage.py").write_text("\n".join(lines) + "\n")
    return folder, {k: v for k, v in os.environ.items() if k not in STRIPPED_ENV}


@pytest.fixture(scope="module")
def reports(usage):
    """{line number: [(code, message)]} of one mypy run over CORRECT + WRONG."""
    folder, env = usage
    # Run from a folder of its own, so that neither the checkout's native_accel.pyi nor
    # its configuration is seen: only what is installed in this interpreter's environment.
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--strict-bytes", "--no-error-summary",
         "--hide-error-context", "--no-color-output", "--no-pretty", "--show-error-codes",
         "--cache-dir", str(folder / "cache"), "usage.py"],
        cwd=folder, env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode in (0, 1), done.stdout + done.stderr  # 2: mypy itself failed
    found: dict[int, list[tuple[str, str]]] = {}
    for text in done.stdout.splitlines():
        match = REPORT.match(text)
        if match:
            found.setdefault(int(match[1]), []).append((match[3], match[2]))
    assert found or done.returncode == 0, done.stdout + done.stderr
    return found


@pytest.mark.parametrize("number", range(1, len(CORRECT) + 1),
                         ids=[case_id(line) for line in CORRECT])
def test_correct_calls_pass(reports, number):
    # The import on line 1 among them: without the stub package mypy reports
    # import-not-found there, and every later error would vanish behind an Any.
    assert reports.get(number, []) == []


@pytest.mark.parametrize(("offset", "expected"), list(enumerate(w for _, w, _ in WRONG)),
                         ids=[case_id(line) for line, _, _ in WRONG])
def test_wrong_use_is_reported_on_its_line(reports, offset, expected):
    code, part = expected
    got = reports.get(len(CORRECT) + 1 + offset, [])
    assert any(c == code and part in message for c, message in got), got


@pytest.fixture(scope="module")
def pyright_reports(usage):
    """{line number: [rule]} of one pyright run, in strict mode, over CORRECT + WRONG."""
    # The PyPI package bundles pyright itself but runs it on node.js; without a node on
    # PATH it would try to download one.
    if shutil.which("node") is None:
        pytest.skip("pyright needs node.js on PATH")
    folder, env = usage
    (folder / "pyrightconfig.json").write_text(json.dumps({"typeCheckingMode": "strict"}))
    # --outputjson also keeps the wrapper from asking the package index for a newer pyright.
    done = subprocess.run(
        [sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", sys.executable,
         "usage.py"],
        cwd=folder, env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode in (0, 1), done.stdout + done.stderr  # others: pyright failed
    found: dict[int, list[str]] = {}
    for diagnostic in json.loads(done.stdout)["generalDiagnostics"]:
        line = diagnostic["range"]["start"]["line"] + 1
        found.setdefault(line, []).append(diagnostic.get("rule", diagnostic["message"]))
    return found


def test_pyright_strict_accepts_the_correct_calls(pyright_reports):
    # Line 1 among them: an unresolved import would turn every later line into Unknown.
    rejected = {CORRECT[n - 1]: pyright_reports[n]
                for n in range(1, len(CORRECT) + 1) if n in pyright_reports}
    assert rejected == {}


def test_pyright_reports_each_wrong_use_under_its_rule(pyright_reports):
    got = [pyright_reports.get(len(CORRECT) + 1 + offset, []) for offset in range(len(WRONG))]
    missed = {line: rules for (line, _, rule), rules in zip(WRONG, got)
              if rule is not None and rule not in rules}
    assert missed == {}
