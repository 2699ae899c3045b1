"""The envelope written in plain Python: what a user would otherwise write.

The benchmark measures the extension module against these classes, which do
the same work the obvious way.
"""

import json
import time


class MetaSource:
    id = type = name = source_name = source_key = None
    output_port_idx = frame_id = ts = None

    def __init__(self, src_node=None, src_output_port=None, src_name=None):
        if src_node is None:
            return
        self.id = src_node.get("id", None)
        self.type = src_node.get("type", None)
        self.name = src_node.get("name", None)
        self.source_name = (src_name if src_name
                            else f'{src_node.get("type")}_{src_output_port}')
        self.source_key = f'{src_node.get("id")}_{src_output_port}'
        self.output_port_idx = src_output_port
        self.frame_id = None
        self.ts = time.time()

    def update(self, source_info):
        for key, val in source_info.items():
            if val is None:
                continue
            if not hasattr(self, key) or getattr(self, key) != val:
                setattr(self, key, val)

    def to_dict(self):
        return self.__dict__


class MetaModule:
    id = type = feed_port_idx = None

    def __init__(self, cur_node=None, feed_port_idx=None):
        if cur_node is None:
            return
        self.id = cur_node.get("id", None)
        self.type = cur_node.get("type", None)
        self.feed_port_idx = feed_port_idx

    update = MetaSource.update
    to_dict = MetaSource.to_dict


class MetaFrameFormat:
    encoder = None
    with_base64 = False

    def __init__(self, **kwargs):
        for key, val in kwargs.items():
            setattr(self, key, val)

    update = MetaSource.update
    to_dict = MetaSource.to_dict


class Meta:
    def __init__(self, cur_node, feed_idx, src_node, src_port, src_name):
        self.ts = time.time()
        self.module = MetaModule(cur_node=cur_node, feed_port_idx=feed_idx)
        self.source = MetaSource(src_node=src_node, src_output_port=src_port,
                                 src_name=src_name)
        self.frame_format = MetaFrameFormat()

    def update_source(self, source_info=None):
        self.source.update({} if source_info is None else source_info)

    def update_frame_format(self, frame_format_info=None):
        self.frame_format.update({} if frame_format_info is None else frame_format_info)

    def to_dict(self):
        return {"ts": self.ts, "source": self.source.to_dict(),
                "module": self.module.to_dict(),
                "frame_format": self.frame_format.to_dict()}


class PemuData:
    frame = result = None

    def __init__(self, feed_idx, cur_node, src_node=None, src_port=None, src_name=None):
        self.meta = Meta(cur_node=cur_node, feed_idx=feed_idx, src_node=src_node,
                         src_port=src_port, src_name=src_name)

    def parse_pemu_data(self, data, version=1, encoder=None, with_base64=None):
        if version == 0:
            return str_to_img(data)
        if isinstance(data, bytes):
            data = json.loads(data.decode())
        meta_info = data.get("meta", {})
        self.meta.update_source(source_info=meta_info.get("source"))
        self.meta.update_frame_format(meta_info.get("frame_format"))
        frame_data = data.get("frame", None)
        if frame_data:
            if encoder is None:
                encoder = self.meta.frame_format.encoder
            if with_base64 is None:
                with_base64 = self.meta.frame_format.with_base64
            data["frame"] = str_to_img(frame_data, encoder, with_base64)
        else:
            data["frame"] = None
        return data


def str_to_img(text, encoder=None, with_base64=False):
    return text
