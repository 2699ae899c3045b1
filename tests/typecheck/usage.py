"""Typed use of pemu_sdk.redis.pemu_data, for the type checkers only
(tools/typecheck.sh runs mypy and basedpyright over it; it is not run).

Every line states what the stubs must give, with no casts and no ignores:
assert_type fails the check when the type differs.
"""
import json
from types import MappingProxyType
from typing import Any, Dict, List, Optional

from typing_extensions import assert_type

from pemu_sdk.redis.pemu_data import Meta, MetaFrameFormat, MetaModule, MetaSource, PemuData

# Node descriptions: a dict of str, and any other mapping.
camera = {"id": "camera-1", "type": "camera", "name": "Gate camera"}
detector = MappingProxyType({"id": "detector-1", "type": "object-detection", "port": 2})

publisher = PemuData(0, camera)
consumer = PemuData(0, detector, camera, 0, "camera")

# The default version gives the payload dict, indexable as it comes.
payload = publisher.create_pemu_data(result=[{"label": "car"}], ext_info={"run": 1})
assert_type(payload, Dict[str, Any])
meta_sent: Dict[str, Any] = payload["meta"]
payload["result"].append({"label": "bus"})
assert_type(publisher.create_pemu_data(1, frame=None), Dict[str, Any])

# version=0: the frame alone as base64 text, or None without a frame.
assert_type(publisher.create_pemu_data(0), Optional[str])
assert_type(publisher.create_pemu_data(version=0, frame=None), Optional[str])
# Another version number gives either, as the run time decides.
either = publisher.create_pemu_data(version=2)
if isinstance(either, dict):
    assert_type(either["frame"], Any)

# Parsing: bytes give a dict, a mapping comes back as itself.
received = consumer.parse_pemu_data(json.dumps(payload).encode())
assert_type(received, Dict[str, Any])
results: List[Dict[str, str]] = received["result"]
assert_type(consumer.parse_pemu_data(payload), Dict[str, Any])
assert_type(consumer.parse_pemu_data(json.dumps(payload).encode(), with_base64=True),
            Dict[str, Any])
frame = consumer.parse_pemu_data("text", 0)

# The metadata: descriptors updated from mappings or from any items().
meta = consumer.meta
assert_type(meta, Meta)
assert_type(meta.ts, float)
meta.update_source({"frame_id": 7, "ts": None})
meta.update_frame_format(MappingProxyType({"encoder": "png"}))
meta.update_module()
source: MetaSource = meta.source
module: MetaModule = meta.module
frame_format: MetaFrameFormat = meta.frame_format
frame_format.update({"with_base64": True})
standalone = MetaSource(detector, 0)
standalone.update(dict(frame_id=8))
sent: Dict[str, Any] = meta.to_dict()
assert_type(source.source_key, Optional[str])
assert_type(MetaFrameFormat(encoder="jpg", quality=90).to_dict(), Dict[str, Any])
