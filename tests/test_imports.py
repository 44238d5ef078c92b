"""The package's shape: its internal imports form no circle, nothing imports the tool's
``__main__``, and no source file grows past the limit without a reason written down."""

from __future__ import annotations

import ast
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
PACKAGE = ROOT / "src" / "kestrix_sdk"
ARCHITECTURE = ROOT / "docs" / "ARCHITECTURE.md"
MAX_LINES = 400
KEPT_HEADING = "Files kept over 400 lines"


def module_names(package: Path) -> dict[str, Path]:
    """Dotted name -> file of every Python module under `package` (a package by its __init__)."""
    names = {}
    for path in sorted(package.rglob("*.py")):
        parts = list(path.relative_to(package.parent).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts.pop()
        names[".".join(parts)] = path
    return names


def imports_of(name: str, path: Path, modules: dict[str, Path]) -> set[str]:
    """The package's modules that module `name` imports anywhere in it (in functions too)."""
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"), str(path))):
        if isinstance(node, ast.Import):
            targets = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = package.split(".")[: len(package.split(".")) - node.level + 1]
                base = ".".join(anchor + ([base] if base else []))
            # `from p import m` imports module p.m when there is one, else a name of p.
            targets = [f"{base}.{a.name}" if f"{base}.{a.name}" in modules else base for a in node.names]
        else:
            continue
        for target in targets:
            while target and target not in modules:     # a name inside a module
                target = target.rpartition(".")[0]
            if target:
                found.add(target)
    found.discard(name)
    return found


def import_graph(package: Path) -> dict[str, set[str]]:
    modules = module_names(package)
    return {name: imports_of(name, path, modules) for name, path in modules.items()}


def find_cycle(graph: dict[str, set[str]]) -> list[str] | None:
    """One circle of imports (its modules, the first repeated at the end), None without one."""
    state: dict[str, int] = {}          # 1 on the current path, 2 done
    path: list[str] = []

    def visit(node: str) -> list[str] | None:
        state[node] = 1
        path.append(node)
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == 1:
                return path[path.index(nxt):] + [nxt]
            if nxt not in state and (cycle := visit(nxt)):
                return cycle
        path.pop()
        state[node] = 2
        return None

    for start in sorted(graph):
        if start not in state and (cycle := visit(start)):
            return cycle
    return None


def importers_of_main(graph: dict[str, set[str]]) -> list[str]:
    main = PACKAGE.name + ".__main__"
    return sorted(m for m, targets in graph.items() if any(t == main for t in targets))


def test_the_package_imports_form_no_circle():
    from kestrix_sdk import cli

    graph = import_graph(PACKAGE)
    assert "kestrix_sdk.cli.common" in graph["kestrix_sdk.cli.status"]   # the walk sees imports
    # The tool imports its commands by name (importlib), which the walk cannot see.
    graph["kestrix_sdk.cli"] |= {f"kestrix_sdk.cli.{name}" for name in cli.COMMANDS}
    assert set(graph) >= graph["kestrix_sdk.cli"]
    assert find_cycle(graph) is None


def test_no_module_imports_the_tool_entry_point():
    assert importers_of_main(import_graph(PACKAGE)) == []


@pytest.mark.parametrize("files, cycle", [
    ({"a.py": "import kestrix_sdk.b", "b.py": "from kestrix_sdk import a"},
     ["kestrix_sdk.a", "kestrix_sdk.b", "kestrix_sdk.a"]),
    # inside a function, relative, and through a name of a module rather than the module
    ({"a.py": "def f():\n    from .sub.c import thing\n", "sub/__init__.py": "",
      "sub/c.py": "from ..a import f\nthing = 1\n"},
     ["kestrix_sdk.a", "kestrix_sdk.sub.c", "kestrix_sdk.a"]),
    ({"a.py": "import os\nfrom kestrix_sdk import b", "b.py": "import json"}, None),
])
def test_the_walk_finds_circles(tmp_path, files, cycle):
    package = tmp_path / "kestrix_sdk"
    for name, text in {"__init__.py": "", **files}.items():
        (package / name).parent.mkdir(parents=True, exist_ok=True)
        (package / name).write_text(text)
    assert find_cycle(import_graph(package)) == cycle


def test_the_walk_finds_an_import_of_main(tmp_path):
    package = tmp_path / "kestrix_sdk"
    package.mkdir()
    for name, text in {"__init__.py": "", "__main__.py": "x = 1",
                       "tool.py": "def f():\n    from kestrix_sdk.__main__ import x\n"}.items():
        (package / name).write_text(text)
    graph = import_graph(package)
    assert sorted(m for m, t in graph.items() if "kestrix_sdk.__main__" in t) == ["kestrix_sdk.tool"]


# ---------------------------------------------------------------------------------------------
# File lengths


def kept_over_limit() -> dict[str, str]:
    """The files ARCHITECTURE.md keeps over the limit, each with its reason."""
    text = ARCHITECTURE.read_text(encoding="utf-8")
    section = re.search(rf"^#+ {KEPT_HEADING}\n(.*?)(?=^#|\Z)", text, re.MULTILINE | re.DOTALL)
    assert section, f"docs/ARCHITECTURE.md has no section {KEPT_HEADING!r}"
    return dict(re.findall(r"^- `([^`]+)`[:,]? *(\S.*)$", section.group(1), re.MULTILINE))


def line_count(path: Path) -> int:
    return len(path.read_text(encoding="utf-8").splitlines())


@pytest.mark.parametrize("tree, pattern", [("src", "*.py"), ("cpp", "*.cpp")])
def test_no_file_over_the_limit_without_a_reason(tree, pattern):
    kept = kept_over_limit()
    long = {str(p.relative_to(ROOT)): line_count(p) for p in sorted((ROOT / tree).rglob(pattern))
            if line_count(p) > MAX_LINES}
    assert {f: n for f, n in long.items() if f not in kept} == {}
    # The list stays true: a file split below the limit leaves it.
    listed = {f for f in kept if f.startswith(tree + "/") and f.endswith(pattern[1:])}
    assert listed <= set(long), "listed in ARCHITECTURE.md but no longer over the limit"
