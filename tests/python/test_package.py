"""The vantrel package has no import cycle (converter families import only
their shared core; the entry point imports the families), and the public
names, old module paths included, still resolve (``vantrel.convert`` is a
package that is itself callable)."""
import ast
import importlib
import pathlib

import pytest

import vantrel

ROOT = pathlib.Path(vantrel.__file__).parent


def import_graph() -> dict[str, set[str]]:
    """Module -> the vantrel modules it imports, lazy imports in functions included."""
    paths = {}
    for path in ROOT.rglob("*.py"):
        parts = ("vantrel",) + path.relative_to(ROOT).with_suffix("").parts
        paths[".".join(parts[:-1] if parts[-1] == "__init__" else parts)] = path
    graph = {}
    for mod, path in paths.items():
        package = mod if path.name == "__init__.py" else mod.rpartition(".")[0]
        edges = set()
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.Import):
                edges |= {a.name for a in node.names}
            elif isinstance(node, ast.ImportFrom):
                base = node.module or ""
                if node.level:
                    base = ".".join(filter(None, [package.rsplit(".", node.level - 1)[0], base]))
                # `from pkg import sub` imports the submodule pkg.sub.
                edges |= {f"{base}.{a.name}" if f"{base}.{a.name}" in paths else base
                          for a in node.names}
        graph[mod] = {e for e in edges if e in paths and e != mod}
    return graph


def find_cycle(graph):
    state, stack = {}, []

    def visit(m):
        state[m] = "open"
        stack.append(m)
        for n in sorted(graph[m]):
            if state.get(n) == "open":
                return stack[stack.index(n):] + [n]
            if n not in state and (cycle := visit(n)):
                return cycle
        state[m] = "done"
        stack.pop()
        return None

    return next((c for m in sorted(graph) if m not in state and (c := visit(m))), None)


def test_no_import_cycle():
    graph = import_graph()
    assert "vantrel.convert.vit" in graph["vantrel.convert"]  # the graph sees real imports
    assert find_cycle(graph) is None, " -> ".join(find_cycle(graph))
    assert find_cycle({"a": {"b"}, "b": {"c"}, "c": {"a"}}) == ["a", "b", "c", "a"]


@pytest.mark.parametrize("name", [
    "vantrel.convert.model_family", "vantrel.convert.convert_cnn", "vantrel.ConversionError",
    "vantrel.bert.convert_minilm", "vantrel.bert.bert_encoder", "vantrel.vit.vit_to_builder",
    "vantrel.decoder.decoder_to_builder", "vantrel.vocoder.vocoder_to_builder",
    "vantrel.torch_models.resnet18", "vantrel.torch_models.tiny_decoder",
    "vantrel.torch_models.vit_s16", "vantrel.torch_vocoder.TorchVocoder",
    "vantrel.models.resnet18", "vantrel.convert.__call__"])
def test_public_names_resolve(name):
    pytest.importorskip("torch")
    module, _, attr = name.rpartition(".")
    assert callable(getattr(importlib.import_module(module), attr))
