"""Sphinx configuration for the packweaver documentation.

The API reference is written from the docstrings of the type stubs that ship
with the package (stubs/packweaver-stubs/__init__.pyi): the compiled module
carries only its text signatures, so building these pages imports nothing of
it and needs no compiler.
"""

import pathlib
import re
import sys

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE / "_ext"))

project = "packweaver"
author = "the packweaver developers"
copyright = "2026, the packweaver developers"
release = version = re.search(
    r'^version = "([^"]+)"', (ROOT / "pyproject.toml").read_text(encoding="utf-8"), re.M
).group(1)

extensions = ["sphinx.ext.napoleon", "packweaver_api"]
packweaver_stub = str(ROOT / "stubs" / "packweaver-stubs" / "__init__.pyi")

napoleon_google_docstring = True
napoleon_numpy_docstring = False
napoleon_use_rtype = False

root_doc = "index"
exclude_patterns = ["_build"]
templates_path = []
html_theme = "alabaster"
html_static_path = []
html_theme_options = {"description": "Parameter values to packet bits and back", "fixed_sidebar": True}
pygments_style = "sphinx"
