"""The method function objects and how they bind their arguments."""
import inspect
import types

import pytest

from conftest import NODE
from pemu_sdk.redis import pemu_data as m
from pemu_sdk.redis.utils import Encoder

CREATE_DOC = """
            Generate payload to publish
        Args:
            with_base64:
            encoder:
            version:
                0.x -> publish frame data only into redis port
                1.x or later -> publish frame + metadata into redis port
            ext_info: extra information to add meta
            result: processing result e.g. detections
            frame: processed frame cv2.ndarray

        Returns:
            {
                "meta": {
                    "ts":
                    "module": {},
                    "source": {},
                    "frame_format": {}
                }
                "frame": {},
                "result": {}
            }

        """
PARSE_DOC = """

        Args:
            data:  data from redis - dict or redis_string
            version:
            encoder:
            with_base64:

        Returns:

        """
INIT_DOC = """

        Args:
            feed_idx: the input index at current module
            cur_node: current module
        """
N3 = (None, None, None)


@pytest.mark.parametrize("cls, name, defaults, doc", [
    (m.MetaSource, "__init__", N3, None), (m.MetaSource, "update", None, None),
    (m.MetaSource, "to_dict", None, None), (m.MetaModule, "__init__", (None, None), None),
    (m.MetaModule, "to_dict", None, None), (m.MetaModule, "update", None, None),
    (m.MetaFrameFormat, "__init__", None, None), (m.MetaFrameFormat, "to_dict", None, None),
    (m.MetaFrameFormat, "update", None, None), (m.Meta, "__init__", None, None),
    (m.Meta, "update_source", (None,), None), (m.Meta, "update_frame_format", (None,), None),
    (m.Meta, "update_module", (None,), None), (m.Meta, "to_dict", None, None),
    (m.PemuData, "__init__", N3, INIT_DOC),
    (m.PemuData, "parse_pemu_data", (1, None, None), PARSE_DOC),
    (m.PemuData, "create_pemu_data", (1, None, None, None, Encoder.JPG, False), CREATE_DOC),
])
def test_function_attributes(cls, name, defaults, doc):
    f = vars(cls)[name]
    assert (f.__name__, f.__qualname__, f.__module__, f.__doc__) == (
        name, cls.__name__ + "." + name, "pemu_sdk.redis.pemu_data", doc)
    assert f.__defaults__ == defaults
    if defaults is not None:  # the very objects: 1 is no True, False no 0
        assert [type(d) for d in f.__defaults__] == [type(d) for d in defaults]
        assert f.__defaults__[-1] is defaults[-1]
    assert getattr(cls, name) is f and f.__get__(None, cls) is f


@pytest.mark.parametrize("cls, name, args", [
    (m.MetaSource, "update", (NODE,)),
    (m.PemuData, "create_pemu_data", (0, NODE)),
])
def test_bound_method_surface(cls, name, args):
    # Read through an instance, a method answers as a bound def-function
    # does, on every interpreter (from 3.9 on it is the module's own type).
    obj = cls(*args)
    f, bound = vars(cls)[name], getattr(obj, name)
    assert (bound.__self__, bound.__func__) == (obj, f)
    assert (bound.__name__, bound.__qualname__, bound.__doc__, bound.__defaults__) == (
        f.__name__, f.__qualname__, f.__doc__, f.__defaults__)
    assert bound == getattr(obj, name) and hash(bound) == hash(getattr(obj, name))
    assert bound != getattr(cls(*args), name)
    assert repr(bound).startswith("<bound method %s of " % f.__qualname__)
    params = list(inspect.signature(f).parameters)
    assert params[0] == "self" and list(inspect.signature(bound).parameters) == params[1:]
    assert inspect.isroutine(bound)  # so pydoc shows it with its signature


class Str(str):
    pass


def test_binding_through_instance_and_class():
    src = m.MetaSource(NODE, 0)
    bound = src.to_dict
    assert bound.__self__ is src and bound.__func__ is vars(m.MetaSource)["to_dict"]
    assert bound() is m.MetaSource.to_dict(src) is m.MetaSource.to_dict(self=src) is vars(src)
    m.MetaSource.update(source_info={"a": 1}, self=src)
    m.MetaSource.__init__(src, src_output_port=7, src_node=NODE, src_name=Str("cam"))
    assert (src.a, src.output_port_idx, src.source_name) == (1, 7, "cam")
    ff = m.MetaFrameFormat(b=1, a=None, **{Str("c"): 3})
    assert list(ff.to_dict().items()) == [("b", 1), ("a", None), ("c", 3)]


def takes(name, n, given, kind="at most"):
    return "%s() takes %s %d positional argument%s (%d given)" % (
        name, kind, n, "s" * (n != 1), given)


@pytest.mark.parametrize("call, args, kwargs, message", [
    (m.MetaSource, (1, 2, 3, 4), {}, takes("__init__", 4, 5)),
    (m.MetaModule, (1, 2, 3), {}, takes("__init__", 3, 4)),
    (m.MetaFrameFormat, (1,), {}, takes("__init__", 1, 2, "exactly")),
    (m.Meta, (1,) * 6, {}, takes("__init__", 6, 7, "exactly")),
    (m.PemuData, (1,) * 6, {}, takes("__init__", 6, 7)),
    ("to_dict", (1,), {}, takes("to_dict", 1, 2, "exactly")),
    ("update", (1, 2), {}, takes("update", 2, 3, "exactly")),
    ("update_source", (1, 2), {}, takes("update_source", 2, 3)),
    ("create_pemu_data", (1,) * 7, {}, takes("create_pemu_data", 7, 8)),
    (m.MetaSource, (), {1: 2}, "__init__() keywords must be strings"),
    (m.MetaFrameFormat, (), {1: 2}, "__init__() keywords must be strings"),
    ("update", ({},), {1: 2}, "update() keywords must be strings"),
    (m.MetaSource, (NODE,), {"src_node": NODE},
     "__init__() got multiple values for keyword argument 'src_node'"),
    (m.MetaFrameFormat, (), {"self": 1},
     "__init__() got multiple values for keyword argument 'self'"),
    ("create_pemu_data", (1,), {"version": 1},
     "create_pemu_data() got multiple values for keyword argument 'version'"),
    (m.MetaSource, (), {"src_node": None, "source": 1},
     "__init__() got an unexpected keyword argument 'source'"),
    ("to_dict", (), {"x": 1}, "to_dict() got an unexpected keyword argument 'x'"),
    ("update_module", (), {"module": {}},
     "update_module() got an unexpected keyword argument 'module'"),
    # a missing required parameter: counted are those bound before it
    (m.PemuData, (), {"cur_node": NODE}, takes("__init__", 3, 1, "at least")),
    (m.Meta, (), {"cur_node": 1, "feed_idx": 2}, takes("__init__", 6, 3, "exactly")),
    (m.Meta, (1, 2, 3), {"src_name": 5}, takes("__init__", 6, 4, "exactly")),
    ("update", (), {}, takes("update", 2, 1, "exactly")),
    ("parse_pemu_data", (), {"version": 1}, takes("parse_pemu_data", 2, 1, "at least")),
    (m.MetaSource.to_dict, (), {}, takes("to_dict", 1, 0, "exactly")),
])
def test_binding_errors(monkeypatch, call, args, kwargs, message):
    env = m.PemuData(0, NODE, NODE, 0)
    if isinstance(call, str):
        owner = env.meta.source if call in ("to_dict", "update") else env
        call = getattr(env.meta if call.startswith("update_") else owner, call)
    before = repr(vars(env.meta.source))
    reads = []
    monkeypatch.setattr(m, "time", types.SimpleNamespace(time=lambda: reads.append(1)))
    with pytest.raises(TypeError) as info:
        call(*args, **kwargs)
    assert str(info.value) == message
    # nothing ran: the clock was not read and the record is unchanged
    assert reads == [] and repr(vars(env.meta.source)) == before
