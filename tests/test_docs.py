"""The documentation shows what the module does.

Every example in the README, the user guide and the stubs' docstrings runs
here as a doctest against the installed module, and the Sphinx build of
docs/ gives every public name a reference entry without a warning.
"""

import ast
import doctest
import os
import pathlib
import re
import shutil
import subprocess
import sys
import zlib

import pytest

import packweaver

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
DOCS = ROOT / "docs"
STUB = ROOT / "stubs" / "packweaver-stubs" / "__init__.pyi"

OPTIONS = doctest.ELLIPSIS


def markdown_examples(path):
    """(line, source) of each ```python block of a Markdown file.

    A closing fence may follow an expected output directly, which a doctest
    run over the whole file would take as part of the output; each block is
    therefore parsed on its own.
    """
    blocks, lines, start, inside = [], path.read_text(encoding="utf-8").splitlines(), 0, False
    body = []
    for number, line in enumerate(lines, 1):
        fence = line.strip()
        if not inside and re.fullmatch(r"```\s*(python|pycon|py)\s*", fence):
            inside, start, body = True, number, []
        elif inside and fence == "```":
            inside = False
            blocks.append((start, "\n".join(body) + "\n"))
        elif inside:
            body.append(line)
    assert not inside, f"{path.name}: a ```python block opened at line {start} is never closed"
    return blocks


def run_examples(name, pieces, globs):
    """Runs the doctests of several pieces of text in order, sharing names.

    Returns the failure reports, each naming the file and line.
    """
    parser = doctest.DocTestParser()
    reports = []
    for line, text in pieces:
        test = parser.get_doctest(text, globs, f"{name}:{line}", name, line)
        if not test.examples:
            continue
        out = []
        runner = doctest.DocTestRunner(optionflags=OPTIONS)
        runner.run(test, out=out.append, clear_globs=False)
        globs = test.globs  # a DocTest works on a copy: carry its names on
        reports += out
    return reports


def count_examples(pieces):
    parser = doctest.DocTestParser()
    return sum(len(parser.get_examples(text)) for _, text in pieces)


def stub_docstrings():
    """(line, docstring) of every documented definition in the stubs."""
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    found = []
    for node in ast.walk(tree):
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            doc = ast.get_docstring(node, clean=True)
            if doc:
                found.append((node.name, node.lineno, doc))
    return found


# ---- examples run -------------------------------------------------------


def test_readme_examples_hold(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    pieces = markdown_examples(README)
    assert count_examples(pieces) >= 20
    reports = run_examples("README.md", pieces, {"__name__": "readme"})
    assert not reports, "".join(reports)


@pytest.mark.parametrize("page", sorted(p.name for p in DOCS.glob("*.rst")))
def test_guide_examples_hold(page, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    text = (DOCS / page).read_text(encoding="utf-8")
    reports = run_examples(page, [(0, text)], {"__name__": "docs"})
    assert not reports, "".join(reports)


def test_the_guide_has_examples():
    assert count_examples([(0, (DOCS / "guide.rst").read_text(encoding="utf-8"))]) >= 40


def test_docstring_examples_hold():
    documented = stub_docstrings()
    reports = []
    for name, line, doc in documented:
        reports += run_examples(f"{STUB.name}:{name}", [(line, doc)], {"pw": packweaver})
    assert not reports, "".join(reports)


def test_every_function_and_the_recipe_type_show_an_example():
    examples = {name for name, _, doc in stub_docstrings() if ">>> " in doc}
    assert set(packweaver.__all__) | {"Recipe"} <= examples


@pytest.mark.parametrize("name", packweaver.__all__ + ["Recipe"])
def test_every_public_name_is_documented(name):
    documented = {name: doc for name, _, doc in stub_docstrings()}
    doc = documented.get(name, "")
    assert doc, f"{name} has no docstring in the stubs"
    if callable(getattr(packweaver, name)) and name != "Recipe":
        assert "Args:" in doc and "Raises:" in doc and "Example:" in doc, name


def test_markdown_blocks_are_found_even_when_a_fence_follows_output(tmp_path):
    page = tmp_path / "page.md"
    page.write_text("text\n\n```python\n>>> 1 + 1\n2\n```\n\n```sh\nls\n```\n\n```python\n>>> 'a'\n'a'\n```\n")
    pieces = markdown_examples(page)
    assert [line for line, _ in pieces] == [3, 12]
    assert run_examples("page.md", pieces, {}) == []
    page.write_text("```python\n>>> 1 + 1\n3\n```\n")
    assert run_examples("page.md", markdown_examples(page), {}), "a wrong output must be reported"


# ---- version ------------------------------------------------------------


def test_version_is_the_one_in_pyproject():
    pyproject = ROOT / "pyproject.toml"
    if not pyproject.exists():
        pytest.skip("no pyproject.toml beside the tests")
    declared = re.search(r'^version = "([^"]+)"', pyproject.read_text(encoding="utf-8"), re.M).group(1)
    if packweaver.__version__ == "0+unknown":
        pytest.skip("module built by plain CMake, which is given no version")
    assert packweaver.__version__ == declared
    assert "__version__" not in packweaver.__all__


# ---- the Sphinx build ---------------------------------------------------


def inventory(path):
    """The names an objects.inv lists, with their roles."""
    data = path.read_bytes()
    header, _, body = data.partition(b"zlib.\n")
    assert header.startswith(b"# Sphinx inventory version 2"), header[:40]
    names = {}
    for line in zlib.decompress(body).decode("utf-8").splitlines():
        name, role = line.split(" ", 2)[:2]
        names[name] = role
    return names


@pytest.fixture(scope="module")
def built_docs(tmp_path_factory):
    pytest.importorskip("sphinx")
    if os.environ.get("PACKWEAVER_EXPECT_BUILD") is not None:
        pytest.skip("not under the sanitizers")
    out = tmp_path_factory.mktemp("html")
    result = subprocess.run(
        [sys.executable, "-m", "sphinx", "-W", "--keep-going", "-q", "-E", "-b", "html",
         "-d", str(out / ".doctrees"), str(DOCS), str(out)],
        capture_output=True, text=True,
    )
    return result, out


def test_sphinx_builds_without_warnings(built_docs):
    result, out = built_docs
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stderr.strip() == "", result.stderr
    assert (out / "index.html").exists() and (out / "api.html").exists() and (out / "guide.html").exists()


def test_every_public_name_has_a_reference_entry(built_docs):
    result, out = built_docs
    assert result.returncode == 0, result.stdout + result.stderr
    names = inventory(out / "objects.inv")
    expected = {f"packweaver.{name}" for name in packweaver.__all__ + ["Recipe"]}
    expected |= {f"packweaver.Recipe.{name}" for name in dir(packweaver.Recipe) if not name.startswith("_")}
    missing = sorted(expected - set(names))
    assert not missing, missing
    assert names["packweaver.Recipe"] == "py:class"
    assert names["packweaver.pack_parameters"] == "py:function"
    assert names["packweaver.Recipe.unpack_columns"] == "py:method"
    assert names["packweaver.Recipe.size"] == "py:property"


def test_a_name_left_out_of_the_reference_fails_the_build(tmp_path):
    pytest.importorskip("sphinx")
    docs = tmp_path / "docs"
    shutil.copytree(DOCS, docs, ignore=shutil.ignore_patterns("_build"))
    api = (docs / "api.rst").read_text(encoding="utf-8")
    (docs / "api.rst").write_text(api.replace("encode_utf8 decode_utf8", "decode_utf8"), encoding="utf-8")
    shutil.copytree(STUB.parent.parent, tmp_path / "stubs")
    shutil.copy(ROOT / "pyproject.toml", tmp_path / "pyproject.toml")
    result = subprocess.run(
        [sys.executable, "-m", "sphinx", "-W", "-q", "-b", "html", str(docs), str(tmp_path / "html")],
        capture_output=True, text=True,
    )
    assert result.returncode != 0
    assert "encode_utf8 has no reference entry" in result.stdout + result.stderr
