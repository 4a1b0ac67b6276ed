"""The package's rooms import one way: no module imports one that imports it back.

Every module of velmar_pipeline is parsed (not imported), and every import in it counts, at the
top, inside functions or under ``if TYPE_CHECKING``. An import names the deepest module it can:
``from velmar_pipeline.records import shards`` is an edge to ``velmar_pipeline.records.shards``.
The package that Python loads on the way to a submodule is no edge: a room's ``__init__`` may
re-export its own modules' names, and it imports nothing else (checked here), so it cannot close
a ring through another room.
"""

from __future__ import annotations

import ast
from pathlib import Path

import pytest

PACKAGE = "velmar_pipeline"
ROOT = Path(__file__).resolve().parents[1] / PACKAGE


def module_names() -> dict[str, Path]:
    names = {}
    for path in sorted(ROOT.rglob("*.py")):
        parts = list(path.relative_to(ROOT.parent).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts.pop()
        names[".".join(parts)] = path
    return names


def imports_of(name: str, path: Path, modules: dict[str, Path]) -> set[str]:
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found = set()
    for node in ast.walk(ast.parse(path.read_text(), str(path))):
        if isinstance(node, ast.Import):
            targets = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = package.split(".")[: len(package.split(".")) - node.level + 1]
                base = ".".join(anchor + ([base] if base else []))
            targets = [f"{base}.{alias.name}" if f"{base}.{alias.name}" in modules else base for alias in node.names]
        else:
            continue
        for target in targets:
            while target and target not in modules:  # `import velmar_pipeline.x.y` names x.y
                target = target.rpartition(".")[0]
            if target and target != name:
                found.add(target)
    return found


def graph() -> dict[str, set[str]]:
    modules = module_names()
    return {name: imports_of(name, path, modules) for name, path in modules.items()}


def cycle_in(edges: dict[str, set[str]]) -> list[str] | None:
    """One ring of imports, as the list of its modules, or None."""
    state: dict[str, int] = {}  # 1: on the current path, 2: done
    path: list[str] = []

    def visit(node: str) -> list[str] | None:
        state[node] = 1
        path.append(node)
        for target in sorted(edges.get(node, ())):
            if state.get(target) == 1:
                return path[path.index(target):] + [target]
            if target not in state and (ring := visit(target)):
                return ring
        path.pop()
        state[node] = 2
        return None

    for node in sorted(edges):
        if node not in state and (ring := visit(node)):
            return ring
    return None


@pytest.mark.parametrize("edges, ring", [
    ({"a": {"b"}, "b": {"c"}, "c": set()}, None),
    ({"a": {"b"}, "b": {"c"}, "c": {"a"}}, ["a", "b", "c", "a"]),
    ({"a": {"a"}}, ["a", "a"]),
])
def test_the_cycle_finder_finds_rings(edges, ring):
    assert cycle_in(edges) == ring


def test_the_package_imports_one_way():
    edges = graph()
    assert "velmar_pipeline.selfplay.options" in edges.get("velmar_pipeline.selfplay.run", ())
    assert cycle_in(edges) is None, " -> ".join(cycle_in(edges))


# The rooms, and the few shared modules beside them: nothing else at the top.
TOP_LEVEL = {"__main__", "errors", "streams", "arena", "evaluators", "records", "selfplay", "show", "training"}


def test_the_top_level_holds_the_rooms_and_room_inits_import_only_their_room():
    modules = module_names()
    edges = graph()
    top = {name.split(".")[1] for name in modules if name != PACKAGE}
    assert top == TOP_LEVEL
    for name, targets in edges.items():
        if modules[name].name == "__init__.py" and name != PACKAGE:
            inside = {t for t in targets if t.startswith(PACKAGE + ".")}
            assert all(t.startswith(name + ".") for t in inside), f"{name} imports {sorted(inside)}"
