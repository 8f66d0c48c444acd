"""The package's modules import one another in one direction: no module imports, even
inside a function or for type checking only, a module that leads back to it."""

import ast
import importlib.machinery
from pathlib import Path

import pytest

import kestrelia

ROOT = Path(kestrelia.__file__).resolve().parent


def module_files() -> dict[str, Path]:
    """Dotted name -> file of every module of the package, native modules included."""
    found: dict[str, Path] = {}
    for path in ROOT.rglob("*"):
        parts = list(path.relative_to(ROOT.parent).parts)
        if path.suffix == ".py":
            parts[-1] = path.stem
        else:
            suffix = next((s for s in importlib.machinery.EXTENSION_SUFFIXES
                           if path.name.endswith(s)), None)
            if suffix is None:
                continue
            parts[-1] = path.name[:-len(suffix)]
        if parts[-1] == "__init__":
            parts.pop()
        found[".".join(parts)] = path
    return found


def imports_of(name: str, path: Path, modules: set[str]) -> set[str]:
    """The modules of the package that ``name`` imports anywhere in its code. ``from P
    import X`` names the module ``P.X`` when there is one, else ``P`` itself."""
    tree = ast.parse(path.read_text(encoding="utf-8"))
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            found |= {alias.name for alias in node.names if alias.name in modules}
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                parent = package.split(".")[:len(package.split(".")) - node.level + 1]
                base = ".".join(parent + ([node.module] if node.module else []))
            for alias in node.names:
                target = f"{base}.{alias.name}"
                found.add(target if target in modules else base)
    return (found & modules) - {name}


def circles(graph: dict[str, set[str]]) -> list[list[str]]:
    """The strongly connected groups of more than one module (Tarjan)."""
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    on_stack: set[str] = set()
    groups = []

    def visit(v: str) -> None:
        index[v] = low[v] = len(index)
        stack.append(v)
        on_stack.add(v)
        for w in sorted(graph.get(v, ())):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            group = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                group.append(w)
                if w == v:
                    break
            if len(group) > 1:
                groups.append(sorted(group))

    for v in sorted(graph):
        if v not in index:
            visit(v)
    return groups


@pytest.fixture(scope="module")
def graph() -> dict[str, set[str]]:
    files = module_files()
    return {name: imports_of(name, path, set(files))
            for name, path in files.items() if path.suffix == ".py"}


def test_the_reader_sees_the_imports_that_matter(graph):
    # A reader that saw nothing would find no circle either.
    assert "kestrelia.backtest.market" in graph["kestrelia.backtest.store"]
    assert "kestrelia.backtest._engine" in graph["kestrelia.backtest.run"]  # inside a function
    assert "kestrelia.backtest.execution" in graph["kestrelia.backtest.result"]  # typing only
    assert "kestrelia.backtest" in graph["kestrelia.backtest.app.cli"]  # the package's face
    assert circles({"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": {"a"}}) == [["a", "b", "c"]]


def test_no_import_circle(graph):
    assert circles(graph) == []
