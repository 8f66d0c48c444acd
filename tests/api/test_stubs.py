"""The shipped stubs of the extension modules say what the binding tables say."""

import ast
import importlib
import inspect
from pathlib import Path

import pytest

import kestrelia.backtest as bt

GENERIC = {"dict": "dict[Any, Any]", "list": "list[Any]", "tuple": "tuple[Any, ...]"}


def stub_functions(module_name):
    tree = ast.parse((Path(bt.__file__).parent / f"{module_name}.pyi").read_text())
    found = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            found[node.name] = node
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    found[f"{node.name}.{item.name}"] = item
    return found


def native_functions(module):
    for name, value in vars(module).items():
        if getattr(value, "__signature__", None) is not None and callable(value) \
                and getattr(value, "__module__", "") == module.__name__:
            yield name, value
        elif isinstance(value, type) and value.__module__ == module.__name__:
            for attr, member in vars(value).items():
                member = getattr(member, "__func__", member)
                if getattr(member, "__signature__", None) is not None:
                    yield f"{name}.{attr}", member


def expected_annotation(annotation):
    return "Any" if annotation is inspect.Parameter.empty else GENERIC.get(str(annotation), str(annotation))


def test_the_engine_stub_names_what_the_module_has():
    from kestrelia.backtest import _engine

    stubs = stub_functions("_engine")
    names = {n for n in dir(_engine) if not n.startswith("_")}
    assert {n for n in stubs if "." not in n} == names - {"Options"}
    assert "Options.__init__" in stubs


@pytest.mark.parametrize("module_name", ["_pelorin", "_prepare"])
def test_stubs_agree_with_signatures(module_name):
    module = importlib.import_module(f"kestrelia.backtest.{module_name}")
    stubs = stub_functions(module_name)
    natives = dict(native_functions(module))
    assert natives, module_name
    assert set(natives) <= set(stubs), set(natives) - set(stubs)
    for name, function in natives.items():
        sig, node = function.__signature__, stubs[name]
        params = list(sig.parameters.values())
        positional = node.args.args
        keyword = node.args.kwonlyargs
        assert [a.arg for a in positional + keyword] == [p.name for p in params], name
        assert [a.arg for a in keyword] == [p.name for p in params if p.kind is p.KEYWORD_ONLY], name
        for arg, p in zip(positional + keyword, params):
            if p.name != "self":
                assert ast.unparse(arg.annotation) == expected_annotation(p.annotation), (name, p.name)
        defaults = dict(zip([a.arg for a in positional][len(positional) - len(node.args.defaults):],
                            node.args.defaults))
        defaults.update({a.arg: d for a, d in zip(keyword, node.args.kw_defaults) if d is not None})
        for p in params:
            if p.default is p.empty:
                assert p.name not in defaults, (name, p.name)
            elif ast.unparse(defaults[p.name]) != "...":
                assert ast.literal_eval(defaults[p.name]) == p.default, (name, p.name)
        if not name.endswith("__init__"):
            assert ast.unparse(node.returns) == expected_annotation(sig.return_annotation), name


def test_the_package_is_typed():
    assert (Path(bt.__file__).parents[1] / "py.typed").is_file()
