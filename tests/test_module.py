"""Module definition and registration: names, order, signatures, function objects."""

import importlib
import inspect
import sys
import types

import pytest

import native_accel

CATALOGUE = [
    "lzss_pack",
    "lzss_pack_level",
    "lzss_unpack",
    "lzss32_pack",
    "lzss32_unpack",
    "xor_cycle_inplace",
    "md5_digest",
    "nwa_decode_pcm",
    "tile_copy",
    "msvcrand_shuffle_inplace",
    "find_shuffle_seed_first",
]

SIGNATURES = {
    "lzss_pack": "(data, suppress_empty_tail_group=False)",
    "lzss_pack_level": "(data, level, suppress_empty_tail_group=False)",
    "lzss_unpack": "(data)",
    "lzss32_pack": "(data)",
    "lzss32_unpack": "(data)",
    "xor_cycle_inplace": "(data, code, start)",
    "md5_digest": "(data)",
    "nwa_decode_pcm": "(data)",
    "tile_copy": "(dst, src, bx, by, mask, tx, ty, repx, repy, rev, lim)",
    "msvcrand_shuffle_inplace": "(state, a)",
    "find_shuffle_seed_first": "(target_idx, seed0, workers, chunk, progress_iv)",
}

PRESENT = [name for name in CATALOGUE if hasattr(native_accel, name)]


def test_all_lists_the_functions_in_catalogue_order():
    assert native_accel.__all__ == PRESENT
    assert {"lzss_unpack", "xor_cycle_inplace", "md5_digest", "tile_copy"} <= set(PRESENT)


def test_module_doc_is_empty_and_star_import_gives_exactly_the_functions():
    assert native_accel.__doc__ == ""
    namespace: dict = {}
    exec("from native_accel import *", namespace)
    assert sorted(k for k in namespace if k != "__builtins__") == sorted(PRESENT)


@pytest.mark.parametrize("name", PRESENT)
def test_function_object(name):
    function = getattr(native_accel, name)
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__self__ is None
    assert function.__module__ == "native_accel"
    assert function.__qualname__ == name
    assert function.__doc__ is None
    assert function.__text_signature__ == SIGNATURES[name]
    assert str(inspect.signature(function)) == SIGNATURES[name]
    assert repr(function) == f"<built-in function {name}>"


def test_reimport_builds_new_function_objects():
    old = native_accel.md5_digest
    sys.modules.pop("native_accel")
    try:
        fresh = importlib.import_module("native_accel")
        assert fresh.md5_digest is not old
        assert fresh.md5_digest(b"abc") == old(b"abc")
        assert fresh.__all__ == PRESENT
    finally:
        sys.modules["native_accel"] = native_accel


def test_type_stub_is_installed_beside_the_module_and_types_every_function():
    import ast
    import pathlib

    stub = pathlib.Path(native_accel.__file__).with_name("native_accel.pyi")
    tree = ast.parse(stub.read_text())
    stubbed = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    for name in PRESENT:
        node = stubbed[name]
        params = [arg.arg for arg in node.args.args]
        assert "(" + ", ".join(params) + ")" == SIGNATURES[name].replace("=False", "")
        assert ast.get_docstring(node)
        assert node.returns is not None and all(a.annotation for a in node.args.args)


def test_only_the_binding_layer_includes_python_h():
    import pathlib

    src = pathlib.Path(__file__).resolve().parent.parent / "src"
    if not src.is_dir():
        pytest.skip("source tree not available")
    offenders = [
        str(path.relative_to(src))
        for path in src.rglob("*")
        if path.suffix in {".cpp", ".hpp", ".h"}
        and path.parent.name != "python"
        and "Python.h" in path.read_text()
    ]
    assert offenders == []
