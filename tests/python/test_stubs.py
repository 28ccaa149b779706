"""The .pyi stubs say what the extension modules do: the same classes and
members, the same parameters, and the docstrings an editor shows are the
ones help() shows."""

import ast
import inspect
from pathlib import Path

import pytest

from velnor import _holder, _native

PACKAGE = Path(__file__).resolve().parents[2] / "python" / "velnor"
MODULES = {"_native": _native, "_holder": _holder}


def stub(name):
    return ast.parse((PACKAGE / f"{name}.pyi").read_text(encoding="utf-8"))


def stub_classes(tree):
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def stub_members(cls_node):
    return {node.name: node for node in cls_node.body if isinstance(node, ast.FunctionDef)}


def decorators(fn):
    return {ast.unparse(d) for d in fn.decorator_list}


def runtime_members(cls):
    names = {n for n in vars(cls) if not n.startswith("__")}
    if cls.__text_signature__ is not None:
        names.add("__new__")  # constructible: the stub declares its parameters
    if "__len__" in vars(cls):
        names.add("__len__")
    return names


def doc_of(node):
    return ast.get_docstring(node) or ""


def cases():
    for name, module in MODULES.items():
        for cls_name, cls_node in stub_classes(stub(name)).items():
            for member, fn in stub_members(cls_node).items():
                yield pytest.param(module, cls_name, member, fn, id=f"{name}.{cls_name}.{member}")


@pytest.mark.parametrize("name", MODULES)
def test_same_classes_and_members(name):
    module = MODULES[name]
    tree = stub(name)
    assert doc_of(tree) == module.__doc__
    classes = stub_classes(tree)
    assert list(classes) == [n for n in vars(module) if not n.startswith("__")]
    for cls_name, node in classes.items():
        cls = getattr(module, cls_name)
        assert doc_of(node) == cls.__doc__, cls_name
        assert "final" in decorators(node), cls_name  # the classes cannot be subclassed
        assert set(stub_members(node)) == runtime_members(cls), cls_name


@pytest.mark.parametrize("module, cls_name, member, fn", list(cases()))
def test_member_matches_runtime(module, cls_name, member, fn):
    cls = getattr(module, cls_name)
    if member == "__len__":
        return
    if member == "__new__":
        params = list(inspect.signature(cls).parameters.values())
        declared = fn.args.args[1:]
        defaults = fn.args.defaults
        assert doc_of(fn) == ""  # the class docstring documents construction
    else:
        attr = vars(cls)[member]
        runtime = getattr(cls, member)
        kind = {"property"} if inspect.isdatadescriptor(attr) else (
            {"staticmethod"} if isinstance(attr, staticmethod) else set())
        assert decorators(fn) == kind
        assert doc_of(fn) == (runtime.__doc__ or "")
        if kind == {"property"}:
            return  # read-only at run time; a setter would be a second def of the name
        params = list(inspect.signature(runtime).parameters.values())
        declared = fn.args.args
        defaults = fn.args.defaults
    assert not fn.args.posonlyargs and not fn.args.kwonlyargs
    assert fn.args.vararg is None and fn.args.kwarg is None
    assert [a.arg for a in declared] == [p.name for p in params]
    assert all(a.annotation is not None for a in declared if a.arg != "self")
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params if p.name != "self")
    runtime_defaults = [p.default for p in params if p.default is not inspect.Parameter.empty]
    assert [ast.literal_eval(d) for d in defaults] == runtime_defaults
