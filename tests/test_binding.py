"""How the methods bind their arguments: through instance and class, by
position and keyword, and the interpreter's messages when a call does not
bind (nothing of the method runs then)."""
import types

import pytest

from conftest import NODE
from pemu_sdk.redis import pemu_data as m


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
