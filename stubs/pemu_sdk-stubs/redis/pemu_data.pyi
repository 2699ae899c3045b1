# Types of the native module pemu_sdk.redis.pemu_data, installed as a partial
# stub package (pemu_sdk-stubs, whose py.typed says "partial"): type checkers
# take this module from here and every other module of pemu_sdk from the
# SDK's own package.
#
# Class-level attributes give the defaults that an instance reads until it
# holds a value of its own: None, and False for MetaFrameFormat.with_base64.
# The three descriptors keep their data only in their instance __dict__,
# which to_dict() returns itself (not a copy), and update() applies any
# object with items() by the merge rule: entries whose value is None are
# skipped, the others set when missing or unequal.
import json as json
import time as time
from typing import (Any, Dict, Iterable, Mapping, MutableMapping, Optional, Tuple, TypeVar,
                    Union, overload)

from typing_extensions import Literal, Protocol

from .utils import Encoder as Encoder
from .utils import base64_to_img as base64_to_img
from .utils import img_to_base64str as img_to_base64str
from .utils import img_to_str as img_to_str
from .utils import str_to_img as str_to_img

# A pipeline node: any mapping, read only through get("id"), get("type") and
# get("name").
_NodeDescription = Mapping[str, Any]


class _Items(Protocol):
    # Any object whose items() yields (name, value) pairs, such as a mapping.
    def items(self) -> Iterable[Tuple[str, Any]]: ...


# A payload received as a mapping: changed in place and returned.
_ReceivedMapping = TypeVar("_ReceivedMapping", bound=MutableMapping[str, Any])


class MetaSource:
    id: Any
    type: Any
    name: Any
    source_name: Any
    source_key: Optional[str]
    output_port_idx: Any
    frame_id: Any
    ts: Optional[float]
    def __init__(self, src_node: Optional[_NodeDescription] = None,
                 src_output_port: Any = None, src_name: Any = None) -> None: ...
    def update(self, source_info: _Items) -> None: ...
    def to_dict(self) -> Dict[str, Any]: ...


class MetaModule:
    id: Any
    type: Any
    feed_port_idx: Any
    def __init__(self, cur_node: Optional[_NodeDescription] = None,
                 feed_port_idx: Any = None) -> None: ...
    def to_dict(self) -> Dict[str, Any]: ...
    def update(self, module_info: _Items) -> None: ...


class MetaFrameFormat:
    encoder: Any
    with_base64: Any
    def __init__(self, **kwargs: Any) -> None: ...
    def to_dict(self) -> Dict[str, Any]: ...
    def update(self, frame_format_info: _Items) -> None: ...


class Meta:
    ts: float
    module: MetaModule
    source: MetaSource
    frame_format: MetaFrameFormat
    def __init__(self, cur_node: Optional[_NodeDescription], feed_idx: Any,
                 src_node: Optional[_NodeDescription], src_port: Any, src_name: Any) -> None: ...
    def update_source(self, source_info: Optional[_Items] = None) -> None: ...
    def update_frame_format(self, frame_format_info: Optional[_Items] = None) -> None: ...
    def update_module(self, module_info: Optional[_Items] = None) -> None: ...
    # {"ts", "source", "module", "frame_format"}: a new dict each call, whose
    # nested mappings are the descriptors' own __dict__.
    def to_dict(self) -> Dict[str, Any]: ...


class PemuData:
    frame: Any
    result: Any
    meta: Meta
    def __init__(self, feed_idx: Any, cur_node: Optional[_NodeDescription],
                 src_node: Optional[_NodeDescription] = None, src_port: Any = None,
                 src_name: Any = None) -> None: ...
    # version 0: base64_to_img(data), the image.  Otherwise the payload (bytes
    # are decoded as UTF-8 JSON; a mapping is changed and returned itself)
    # with the decoded image, or None, under "frame".
    @overload
    def parse_pemu_data(self, data: Any, version: Literal[0], encoder: Any = None,
                        with_base64: Optional[bool] = None) -> Any: ...
    @overload
    def parse_pemu_data(self, data: bytes, version: Literal[1] = 1, encoder: Any = None,
                        with_base64: Optional[bool] = None) -> Dict[str, Any]: ...
    @overload
    def parse_pemu_data(self, data: _ReceivedMapping, version: Literal[1] = 1,
                        encoder: Any = None,
                        with_base64: Optional[bool] = None) -> _ReceivedMapping: ...
    @overload
    def parse_pemu_data(self, data: Any, version: float, encoder: Any = None,
                        with_base64: Optional[bool] = None) -> Any: ...
    # version > 0: the payload dict {"meta", "result", "frame"}, the frame as
    # text or None; otherwise img_to_base64str(frame), or None without a
    # frame.  The encoder default is Encoder.JPG as read when the module was
    # loaded.
    @overload
    def create_pemu_data(self, version: Literal[0], ext_info: Optional[Dict[str, Any]] = None,
                         result: Any = None, frame: Any = None, encoder: Any = ...,
                         with_base64: Optional[bool] = False) -> Optional[str]: ...
    @overload
    def create_pemu_data(self, version: Literal[1] = 1,
                         ext_info: Optional[Dict[str, Any]] = None, result: Any = None,
                         frame: Any = None, encoder: Any = ...,
                         with_base64: Optional[bool] = False) -> Dict[str, Any]: ...
    @overload
    def create_pemu_data(self, version: float, ext_info: Optional[Dict[str, Any]] = None,
                         result: Any = None, frame: Any = None, encoder: Any = ...,
                         with_base64: Optional[bool] = False
                         ) -> Union[Dict[str, Any], str, None]: ...
