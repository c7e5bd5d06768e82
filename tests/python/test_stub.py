"""The type stub installed next to the module describes what the module has."""

import ast
import inspect
from pathlib import Path

import quarnel


def stub_tree():
    path = Path(quarnel.__file__).with_name("quarnel.pyi")
    assert path.is_file(), f"no stub installed at {path}"
    return ast.parse(path.read_text())


def parameters(function):
    """(name, default) pairs of a stub function, without `self`."""
    args = function.args
    names = [a.arg for a in args.args]
    defaults = [None] * (len(names) - len(args.defaults)) + [ast.literal_eval(d) for d in args.defaults]
    pairs = list(zip(names, defaults))
    return pairs[1:] if names[:1] == ["self"] else pairs


def runtime_parameters(obj):
    return [
        (p.name, None if p.default is inspect.Parameter.empty else p.default)
        for p in inspect.signature(obj).parameters.values()
    ]


def test_stub_matches_the_module():
    tree = stub_tree()
    declared = {}
    for node in tree.body:
        if isinstance(node, ast.Assign) and node.targets[0].id == "__all__":
            assert ast.literal_eval(node.value) == quarnel.__all__
        elif isinstance(node, ast.FunctionDef):
            declared[node.name] = parameters(node)
        elif isinstance(node, ast.ClassDef):
            init = next(n for n in node.body if isinstance(n, ast.FunctionDef) and n.name == "__init__")
            declared[node.name] = parameters(init)
    assert sorted(declared) == sorted(quarnel.__all__)
    for name, params in declared.items():
        assert params == runtime_parameters(getattr(quarnel, name)), name
