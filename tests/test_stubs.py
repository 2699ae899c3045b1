"""The type stubs installed beside the module describe it as it is."""
import ast
import inspect
import os

import pytest

from conftest import NODE
from pemu_sdk.redis import pemu_data

# The partial stub package beside the SDK's package: <site>/pemu_sdk-stubs/redis.
SITE = os.path.dirname(os.path.dirname(os.path.dirname(pemu_data.__file__)))
STUBS = os.path.join(SITE, "pemu_sdk-stubs")
KINDS = {"arg": inspect.Parameter.POSITIONAL_OR_KEYWORD, "kwarg": inspect.Parameter.VAR_KEYWORD}
INSTANCES = {
    "MetaSource": lambda: pemu_data.MetaSource(NODE, 0),
    "MetaModule": lambda: pemu_data.MetaModule(NODE, 0),
    "MetaFrameFormat": lambda: pemu_data.MetaFrameFormat(),
    "Meta": lambda: pemu_data.Meta(NODE, 0, NODE, 0, None),
    "PemuData": lambda: pemu_data.PemuData(0, NODE, NODE, 0),
}


def stub():
    with open(os.path.join(STUBS, "redis", "pemu_data.pyi")) as f:
        return ast.parse(f.read())


def public_classes():
    return [node for node in stub().body
            if isinstance(node, ast.ClassDef) and not node.name.startswith("_")]


def stub_params(fn):
    """(name, kind, default) per parameter; default is inspect's `empty`,
    or Ellipsis for `...`, or the literal's value."""
    args = fn.args
    defaults = [inspect.Parameter.empty] * (len(args.args) - len(args.defaults)) + [
        # `...` parses as Ellipsis() on 3.7, as Constant(Ellipsis) later
        Ellipsis if type(d).__name__ == "Ellipsis" or getattr(d, "value", None) is Ellipsis
        else ast.literal_eval(d) for d in args.defaults]
    params = [(a.arg, KINDS["arg"], d) for a, d in zip(args.args, defaults)]
    if args.kwarg is not None:
        params.append((args.kwarg.arg, KINDS["kwarg"], inspect.Parameter.empty))
    return params


def test_installed_as_partial_stubs():
    # Partial: for every other module of pemu_sdk the checkers go on to the
    # SDK's own package, which the module does not mark typed.
    with open(os.path.join(STUBS, "py.typed")) as f:
        assert f.read() == "partial\n"
    assert sorted(os.listdir(STUBS)) == ["py.typed", "redis"]


def test_module_names():
    bound = [alias.asname or alias.name for node in stub().body
             if isinstance(node, (ast.Import, ast.ImportFrom)) for alias in node.names
             if alias.asname is not None]
    bound += [c.name for c in public_classes()]
    assert sorted(bound) == sorted(k for k in vars(pemu_data) if not k.startswith("__"))


@pytest.mark.parametrize("cls", public_classes(), ids=lambda c: c.name)
def test_class_methods_and_attributes(cls):
    real = getattr(pemu_data, cls.name)
    methods = [n for n in cls.body if isinstance(n, ast.FunctionDef)]
    functions = [k for k, v in vars(real).items() if hasattr(v, "__text_signature__")]
    names = [m.name for m in methods]
    assert sorted(set(names), key=names.index) == functions  # all of them, in class order
    for method in methods:
        f = vars(real)[method.name]
        overload = [d.id for d in method.decorator_list] == ["overload"]
        assert overload or names.count(method.name) == 1, method.name
        want = [(p.name, p.kind, p.default) for p in inspect.signature(f).parameters.values()]
        got = stub_params(method)
        assert [p[:2] for p in got] == [p[:2] for p in want], method.name
        # the very default objects, not inspect's copies of their reprs
        named = [p for p in got if p[1] is KINDS["arg"]]
        values = list(f.__defaults__ or ())
        values = [inspect.Parameter.empty] * (len(named) - len(values)) + values
        for (name, _, default), value in zip(named, values):
            if default is Ellipsis:  # a default that is no literal: Encoder.JPG
                assert value is pemu_data.Encoder.JPG, (method.name, name)
            elif default is inspect.Parameter.empty and overload:
                pass  # an overload for calls that give the argument
            else:
                assert (type(default), default) == (type(value), value), (method.name, name)
    # class-level defaults first, in order; then what instances hold
    declared = [n.target.id for n in cls.body if isinstance(n, ast.AnnAssign)]
    defaults = [k for k, v in vars(real).items()
                if not k.startswith("__") and not hasattr(v, "__text_signature__")]
    assert declared[:len(defaults)] == defaults
    instance = INSTANCES[cls.name]()
    assert all(hasattr(instance, name) for name in declared[len(defaults):])
