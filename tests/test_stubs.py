"""The type stubs shipped beside the module agree with it."""

import os
import pathlib
import subprocess
import sys

import pytest

import packweaver

STUBS = pathlib.Path(__file__).resolve().parent.parent / "stubs"


def test_stubs_name_every_function_in_order():
    text = (STUBS / "packweaver-stubs" / "__init__.pyi").read_text()
    defined = [line.split("(")[0][4:] for line in text.splitlines() if line.startswith("def ")]
    classes = [line[6:].split(":")[0].split("(")[0] for line in text.splitlines() if line.startswith("class ")]
    assert defined == packweaver.__all__ + ["unpack_array", "pack_array"] and classes == ["Recipe", "Index", "Framing"]


@pytest.mark.skipif(os.environ.get("PACKWEAVER_EXPECT_BUILD") is not None, reason="not under the sanitizers")
def test_stubtest_finds_no_mismatch(tmp_path):
    pytest.importorskip("mypy")
    # mypy finds a stub-only package in site-packages; from the source tree
    # the stub is handed over as a plain module stub.
    (tmp_path / "packweaver.pyi").write_text((STUBS / "packweaver-stubs" / "__init__.pyi").read_text())
    env = dict(os.environ, MYPYPATH=str(tmp_path))
    # stubtest imports the module it checks and compares every signature.
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "packweaver"],
        capture_output=True, text=True, env=env, cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr


USER_CODE = '''
import array
import numpy
import packweaver as pw

recipe = pw.Recipe([{"name": "t", "encoding": "twos_complement", "bits": 12}])
columns = recipe.unpack_columns(recipe.pack([5]) * 3)
total: int = sum(columns["t"]) + columns["t"][0]
mean = numpy.asarray(columns["t"]).mean()
data, offsets = recipe.unpack_columns(b"", text="utf8")["t"]
masked, valid, faults = recipe.unpack_columns(b"", errors="mask")
packets: bytes = recipe.pack_columns({"t": array.array("h", [1, 2])})
recipe.pack_columns_into(bytearray(4), columns, count=2)
again = pw.Recipe.from_csv("defs.csv", primary_header=False)
'''


@pytest.mark.skipif(os.environ.get("PACKWEAVER_EXPECT_BUILD") is not None, reason="not under the sanitizers")
def test_user_code_type_checks_without_casts(tmp_path):
    pytest.importorskip("mypy")
    (tmp_path / "packweaver.pyi").write_text((STUBS / "packweaver-stubs" / "__init__.pyi").read_text())
    (tmp_path / "user.py").write_text(USER_CODE)
    env = dict(os.environ, MYPYPATH=str(tmp_path))
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--ignore-missing-imports", "user.py"],
                            capture_output=True, text=True, env=env, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_recipe_docstrings_at_run_time_are_the_stubs():
    """help() shows the stubs' full text for the Recipe type, its methods and properties."""
    import ast
    import inspect

    import packweaver as pw

    tree = ast.parse((STUBS / "packweaver-stubs" / "__init__.pyi").read_text(encoding="utf-8"))
    (recipe,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Recipe"]
    want = {"Recipe": ast.get_docstring(recipe)}
    for node in recipe.body:
        if isinstance(node, ast.FunctionDef) and ast.get_docstring(node) and not node.name.startswith("__"):
            want.setdefault(node.name, ast.get_docstring(node))
    assert set(want) >= {"Recipe", "pack", "pack_into", "unpack", "iter_unpack", "unpack_columns", "pack_columns",
                         "pack_columns_into", "from_csv", "size", "names", "bit_exact"}
    for name, text in want.items():
        obj = pw.Recipe if name == "Recipe" else inspect.getattr_static(pw.Recipe, name)
        assert inspect.cleandoc(obj.__doc__) == text, name
