"""Loading: the namespace, the five classes and the module-level names."""
import ast
import builtins
import importlib
import json
import subprocess
import sys
import textwrap
import time
import types

import pytest

from conftest import NODE
from pemu_sdk.redis import pemu_data, utils

NAMES = ["time", "json", "img_to_str", "str_to_img", "Encoder", "base64_to_img",
         "img_to_base64str", "MetaSource", "MetaModule", "MetaFrameFormat", "Meta", "PemuData"]

# Child interpreters load the module against a planted fake sibling, so that
# failed loads never touch this process.
PRELUDE = """
import sys, types, pemu_sdk.redis
class Encoder:
    JPG = object()
CODEC = dict(img_to_str=len, str_to_img=len, Encoder=Encoder, base64_to_img=len,
             img_to_base64str=len)
def plant(names):
    sys.modules["pemu_sdk.redis.utils"] = fake = types.ModuleType("pemu_sdk.redis.utils")
    vars(fake).update(names)
def load():
    import pemu_sdk.redis.pemu_data as module
    return module
"""


def run(tmp_path, body):
    # away from the source tree, whose package has no built module
    proc = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body)],
                          cwd=str(tmp_path), capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


@pytest.fixture
def keep_order():
    """Puts back the namespace order that monkeypatch (requested after this) upsets."""
    order = list(vars(pemu_data))
    yield
    for key in order:
        vars(pemu_data)[key] = vars(pemu_data).pop(key)


def test_namespace(tmp_path):
    keys = ast.literal_eval(run(tmp_path, "print(list(vars(load())))"))
    assert keys[-12:] == NAMES and set(keys[:-12]) <= {
        "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    bound = [time, json, utils.img_to_str, utils.str_to_img, utils.Encoder,
             utils.base64_to_img, utils.img_to_base64str]
    assert all(getattr(pemu_data, n) is v for n, v in zip(NAMES, bound))
    assert pemu_data.__doc__ is None


@pytest.mark.parametrize("name, attributes, methods", [
    ("MetaSource", ["id", "type", "name", "source_name", "source_key", "output_port_idx",
                    "frame_id", "ts"], ["__init__", "update", "to_dict"]),
    ("MetaModule", ["id", "type", "feed_port_idx"], ["__init__", "to_dict", "update"]),
    ("MetaFrameFormat", ["encoder", "with_base64"], ["__init__", "to_dict", "update"]),
    ("Meta", [], ["__init__", "update_source", "update_frame_format", "update_module",
                  "to_dict"]),
    ("PemuData", ["frame", "result"], ["__init__", "parse_pemu_data", "create_pemu_data"]),
])
def test_class(name, attributes, methods):
    cls = getattr(pemu_data, name)
    assert type(cls) is type and cls.__bases__ == (object,)
    assert (cls.__name__, cls.__qualname__, cls.__module__, cls.__doc__) == (
        name, name, "pemu_sdk.redis.pemu_data", None)
    keys = [k for k in vars(cls) if k not in ("__dict__", "__weakref__", "__doc__")]
    assert keys == ["__module__"] + attributes + methods
    for attribute in attributes:
        assert vars(cls)[attribute] is (False if attribute == "with_base64" else None)
    obj = cls.__new__(cls)
    obj.anything = 1
    assert vars(obj) == {"anything": 1}


def test_reimport_keeps_module_and_encoder_default(monkeypatch, calls, envelope):
    kept = pemu_data.PemuData.create_pemu_data.__defaults__[4]
    classes = [getattr(pemu_data, n) for n in NAMES[7:]]
    assert kept is utils.Encoder.JPG
    monkeypatch.setattr(utils.Encoder, "JPG", "changed")
    monkeypatch.setattr(pemu_data, "Encoder", types.SimpleNamespace(JPG="rebound"))
    assert importlib.import_module("pemu_sdk.redis.pemu_data") is pemu_data
    assert [getattr(pemu_data, n) for n in NAMES[7:]] == classes
    assert pemu_data.PemuData.create_pemu_data.__defaults__[4] is kept
    envelope.create_pemu_data(frame="F")
    assert calls.calls[0][2]["encoder"] is kept


@pytest.mark.parametrize("codec, error", [
    ("{k: v for k, v in CODEC.items() if k != %r}" % n, "ImportError cannot import name " + n)
    for n in NAMES[2:7]] + [
    ("dict(CODEC, Encoder=object)", "AttributeError type object 'object' has no attribute 'JPG'"),
])
def test_failed_load_runs_again_next_time(tmp_path, codec, error):
    assert run(tmp_path, """
        plant(%s)
        try:
            load()
        except Exception as exc:
            print(type(exc).__name__, exc)
        assert "pemu_sdk.redis.pemu_data" not in sys.modules
        plant(CODEC)
        assert load().PemuData.create_pemu_data.__defaults__[4] is Encoder.JPG
    """ % codec) == error + "\n"


def test_missing_name_found_as_loaded_submodule(tmp_path):
    run(tmp_path, """
        plant({k: v for k, v in CODEC.items() if k != "img_to_base64str"})
        sub = sys.modules["pemu_sdk.redis.utils.img_to_base64str"] = types.ModuleType("x")
        assert load().img_to_base64str is sub
    """)


def test_clock_is_looked_up_at_each_call(monkeypatch):
    monkeypatch.setattr(pemu_data, "time", types.SimpleNamespace(time=lambda: 12.5))
    assert pemu_data.MetaSource(NODE, 0).ts == pemu_data.Meta(NODE, 0, NODE, 0, None).ts == 12.5


@pytest.mark.parametrize("where", [pemu_data, builtins])
def test_class_names_are_looked_up_at_each_call(keep_order, monkeypatch, where):
    # the module namespace first, then the builtins
    if where is builtins:
        monkeypatch.delattr(pemu_data, "MetaModule")
    monkeypatch.setattr(where, "MetaModule", lambda **kw: kw, raising=False)
    assert pemu_data.Meta(NODE, 3, None, None, None).module == {"cur_node": NODE,
                                                                 "feed_port_idx": 3}


@pytest.mark.parametrize("name, cls, args", [
    ("time", pemu_data.MetaSource, (NODE, 0)),
    ("time", pemu_data.Meta, (NODE, 0, None, None, None)),
    ("MetaModule", pemu_data.Meta, (NODE, 0, NODE, 0, None)),
    ("MetaSource", pemu_data.Meta, (NODE, 0, NODE, 0, None)),
    ("MetaFrameFormat", pemu_data.Meta, (NODE, 0, NODE, 0, None)),
    ("Meta", pemu_data.PemuData, (0, NODE)),
])
def test_deleted_name(keep_order, monkeypatch, name, cls, args):
    monkeypatch.delattr(pemu_data, name)
    with pytest.raises(NameError, match="^name '%s' is not defined$" % name):
        cls(*args)
