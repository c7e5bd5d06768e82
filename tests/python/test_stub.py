"""The type stub installed next to the module describes what the module has,
and what quarnel_tools forwards of the codec's facts is the codec's."""

import ast
import inspect
from pathlib import Path
from typing import get_args

import pytest

import quarnel
from quarnel_tools import _arguments, _native, _settings


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


def stub_names(parameter):
    """The strings of the Literal type of a parameter of the options class in the stub."""
    options = next(n for n in stub_tree().body if isinstance(n, ast.ClassDef) and n.name == "QrnlCompressionOptions")
    init = next(n for n in options.body if isinstance(n, ast.FunctionDef) and n.name == "__init__")
    annotation = next(a.annotation for a in init.args.args if a.arg == parameter)
    return {n.value for n in ast.walk(annotation) if isinstance(n, ast.Constant) and isinstance(n.value, str)}


@pytest.mark.parametrize("parameter, alias, names", [("method", "Method", "METHODS"), ("cutoff", "Cutoff", "CUTOFFS"),
                                                     ("coder", "Coder", "CODERS")])
def test_name_types_of_quarnel_tools_are_the_codecs_names(parameter, alias, names):
    declared = set(get_args(getattr(_arguments, alias)))
    assert declared == set(getattr(_native, names))
    assert declared == stub_names(parameter)


@pytest.mark.parametrize("values, check", [(_settings.SCALES, lambda v: quarnel.QrnlCompressionOptions(scale=v)),
                                           (_settings.DEFLATE_LEVELS, _native.check_deflate_level)],
                         ids=["scales", "deflate_levels"])
def test_ranges_of_quarnel_tools_are_the_ones_the_codec_checks(values, check):
    for accepted in (values[0], values[-1]):
        check(accepted)
    for refused in (values[0] - 1, values[-1] + 1):
        with pytest.raises(ValueError):
            check(refused)
