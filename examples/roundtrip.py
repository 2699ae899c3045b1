"""Publishes a few frames through one envelope and consumes them through another.

No Redis is involved: the payload text that would cross a Redis port is made
with json.dumps(...).encode() and handed to the consuming envelope.
"""

import json
import time

import numpy as np

from pemu_sdk.redis.pemu_data import PemuData
from pemu_sdk.redis.utils import Encoder

CAMERA = {"id": "camera-1", "type": "camera", "name": "Gate camera"}
DETECTOR = {"id": "detector-1", "type": "object-detection", "name": "Detector"}


def frame(i, height=120, width=160):
    """A dark frame with a bright square that moves to the right."""
    image = np.zeros((height, width, 3), np.uint8)
    x = (i * 12) % (width - 30)
    image[40:70, x:x + 30] = (40, 200, 250)
    return image


def main():
    publisher = PemuData(0, CAMERA)                   # the camera's output envelope
    consumer = PemuData(0, DETECTOR, CAMERA, 0)       # the detector's input 0
    for i in range(5):
        sent = frame(i)
        payload = publisher.create_pemu_data(
            result=[{"label": "square", "frame": i}],
            ext_info={"sequence": i},
            frame=sent,
            encoder=Encoder.PNG,
        )
        text = json.dumps(payload).encode()
        started = time.perf_counter()
        received = consumer.parse_pemu_data(text)
        elapsed = (time.perf_counter() - started) * 1e3
        print("frame %d: %6d bytes, parsed in %.2f ms, identical: %s, result: %s"
              % (i, len(text), elapsed, bool((received["frame"] == sent).all()),
                 received["result"]))
    print("consumer's frame format now:", consumer.meta.frame_format.to_dict())


if __name__ == "__main__":
    main()
