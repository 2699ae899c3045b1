"""The method function objects: their attributes, signatures and binding to instances."""
import inspect

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
