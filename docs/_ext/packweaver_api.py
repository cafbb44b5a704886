"""The ``packweaver-api`` directive: reference entries from the type stubs.

``.. packweaver-api:: name name ...`` writes a ``py:function`` entry for each
named module function and a ``py:class`` entry (with its methods and
properties) for each named class, taking signatures and Google-style
docstrings from the stub file named by the ``packweaver_stub`` setting. Every
name the stub defines must be placed exactly once across the documents: a
name left out or placed twice is a warning, so ``sphinx-build -W`` fails.
"""

from __future__ import annotations

import ast
import functools
import pathlib
import re

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.ext.napoleon.docstring import GoogleDocstring
from sphinx.util.docutils import SphinxDirective
from sphinx.util import logging

logger = logging.getLogger(__name__)


class Stub:
    """The stub's public definitions, their signatures and docstrings."""

    def __init__(self, path: str) -> None:
        self.path = path
        tree = ast.parse(pathlib.Path(path).read_text(encoding="utf-8"))
        # Private aliases (_Values = Union[...]) are spelled out in signatures.
        self.aliases: dict[str, str] = {}
        self.defs: dict[str, ast.AST] = {}
        for node in tree.body:
            if isinstance(node, ast.Assign) and len(node.targets) == 1:
                target = node.targets[0]
                if isinstance(target, ast.Name) and target.id.startswith("_") and target.id != "__all__":
                    self.aliases[target.id] = ast.unparse(node.value)
            elif isinstance(node, (ast.FunctionDef, ast.ClassDef)) and not node.name.startswith("_"):
                self.defs[node.name] = node

    def spell(self, text: str) -> str:
        for name, value in self.aliases.items():
            text = re.sub(rf"\b{re.escape(name)}\b", value, text)
        return text

    def signature(self, fn: ast.FunctionDef, drop_first: bool = False) -> str:
        args = fn.args
        if drop_first:
            args = ast.arguments(
                posonlyargs=args.posonlyargs[1:] if args.posonlyargs else [],
                args=args.args[1:] if not args.posonlyargs else args.args,
                vararg=args.vararg, kwonlyargs=args.kwonlyargs, kw_defaults=args.kw_defaults,
                kwarg=args.kwarg, defaults=args.defaults,
            )
        text = f"{fn.name}({ast.unparse(args)})"
        if fn.returns is not None:
            text += f" -> {ast.unparse(fn.returns)}"
        return self.spell(text)


def _docstring_lines(directive: SphinxDirective, node: ast.AST, what: str, name: str) -> list[str]:
    doc = ast.get_docstring(node, clean=True)
    if not doc:
        return []
    return GoogleDocstring(doc, directive.config, what=what, name=name).lines()


def _indented(lines: list[str], by: str) -> list[str]:
    return [by + line if line else "" for line in lines]


class PackweaverApi(SphinxDirective):
    required_arguments = 1
    optional_arguments = 100
    has_content = False

    def run(self) -> list[nodes.Node]:
        stub = load_stub(self.config.packweaver_stub)
        placed = _placed(self.env)
        out: list[str] = []
        for name in self.arguments:
            node = stub.defs.get(name)
            if node is None:
                logger.warning("packweaver-api: %s is not defined in %s", name, stub.path, location=self.get_location())
                continue
            placed.setdefault(name, []).append(self.env.docname)
            if isinstance(node, ast.FunctionDef):
                out += [f".. py:function:: {stub.signature(node)}", ""]
                out += _indented(_docstring_lines(self, node, "function", name), "   ") + [""]
            else:
                out += self._class(stub, node)
        holder = nodes.Element()
        self.state.nested_parse(StringList(out, source=stub.path), self.content_offset, holder)
        return holder.children

    def _class(self, stub: Stub, cls: ast.ClassDef) -> list[str]:
        init = next((n for n in cls.body if isinstance(n, ast.FunctionDef) and n.name == "__new__"), None)
        params = stub.signature(init, drop_first=True).split("(", 1)[1].rsplit(")", 1)[0] if init else ""
        out = [f".. py:class:: {cls.name}({params})", ""]
        out += _indented(_docstring_lines(self, cls, "class", cls.name), "   ") + [""]
        for member in cls.body:
            if not isinstance(member, ast.FunctionDef) or member.name.startswith("_"):
                continue
            # Overloads are for type checkers; the entry is the implementation's.
            if any(isinstance(d, ast.Name) and d.id == "overload" for d in member.decorator_list):
                continue
            qualified = f"{cls.name}.{member.name}"
            is_property = any(isinstance(d, ast.Name) and d.id == "property" for d in member.decorator_list)
            if is_property:
                out += [f"   .. py:property:: {member.name}"]
                if member.returns is not None:
                    out += [f"      :type: {stub.spell(ast.unparse(member.returns))}"]
                out += [""]
                out += _indented(_docstring_lines(self, member, "attribute", qualified), "      ") + [""]
            else:
                out += [f"   .. py:method:: {stub.signature(member, drop_first=True)}", ""]
                out += _indented(_docstring_lines(self, member, "method", qualified), "      ") + [""]
        return out


@functools.lru_cache(maxsize=None)
def load_stub(path: str) -> Stub:
    return Stub(path)


def _placed(env) -> dict[str, list[str]]:
    """Which documents placed each name: kept in the build environment."""
    if not hasattr(env, "packweaver_placed"):
        env.packweaver_placed = {}
    return env.packweaver_placed


def _purge(app, env, docname) -> None:
    placed = _placed(env)
    for name in placed:
        placed[name] = [d for d in placed[name] if d != docname]


def _merge(app, env, docnames, other) -> None:
    for name, docs in _placed(other).items():
        _placed(env).setdefault(name, []).extend(docs)


def _check(app, env) -> None:
    stub = load_stub(app.config.packweaver_stub)
    placed = _placed(env)
    for name in stub.defs:
        where = placed.get(name, [])
        if not where:
            logger.warning("packweaver-api: %s has no reference entry", name)
        elif len(where) > 1:
            logger.warning("packweaver-api: %s is placed more than once (%s)", name, ", ".join(where))


def setup(app):
    app.add_config_value("packweaver_stub", "", "env")
    app.add_directive("packweaver-api", PackweaverApi)
    app.connect("env-purge-doc", _purge)
    app.connect("env-merge-info", _merge)
    app.connect("env-check-consistency", _check)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True, "env_version": 1}
