"""The benchmark's payloads: the typical document an upstream envelope
publishes, and the shapes beside it (a 20 KiB frame text, labels and text in
several scripts), each as the bytes a subscriber receives."""

import json

from pemu_sdk.redis import pemu_data

NODE = {"id": "node-1", "type": "object-detection", "name": "OD Node"}
DETECTIONS = [
    {"label": "car", "confidence": 0.91, "box": [12, 40, 96, 64]},
    {"label": "person", "confidence": 0.78, "box": [140, 22, 30, 88]},
    {"label": "bicycle", "confidence": 0.55, "box": [200, 60, 70, 45]},
]


def noop_img_to_str(image, encoder, with_base64):
    return image


def noop_str_to_img(img_as_str, encoder, with_base64):
    return img_as_str


def typical_payload(result=DETECTIONS, ext_info=None, frame=None):
    """The document an upstream envelope publishes for frame 42."""
    publisher = pemu_data.PemuData(0, NODE, NODE, 0)
    publisher.meta.update_source({"frame_id": 42})
    document = publisher.create_pemu_data(result=result, ext_info=ext_info, frame=frame,
                                          encoder="png")
    # Clock readings fixed, so that every run parses the same text: as most
    # readings of time.time() are, written with 17 significant digits.
    document["meta"]["ts"] = 1765291234.5679016
    document["meta"]["source"]["ts"] = 1765291234.5678902
    return document


def as_bytes(document):
    return json.dumps(document).encode()


def frame_text(size):
    """Image-like text of `size` characters: printable ASCII as a base85
    encoding gives, drawn at random (fixed seed) so nothing repeats."""
    import random
    import string
    draw = random.Random(85).choice
    alphabet = string.ascii_letters + string.digits + "!#$%&()*+-;<=>?@^_`{|}~"
    return "".join(draw(alphabet) for _ in range(size))


pemu_data.img_to_str = noop_img_to_str  # the text is carried as it is
PAYLOAD_FRAME_BYTES = as_bytes(typical_payload(frame=frame_text(20 * 1024)))


# Labels in several scripts, as a multilingual detector gives them: 50
# detections, and a 20 KiB text.  The payloads are serialised as the others
# are (json.dumps' defaults, so non-ASCII text travels as \u escapes) and, for
# comparison, as UTF-8 text.
LABELS = ["car", "voiture", "Fahrrad", "\u0430\u0432\u0442\u043e\u043c\u043e\u0431\u0438\u043b\u044c",
          "\u6c7d\u8f66", "\u81ea\u8ee2\u8eca", "\u03b1\u03c5\u03c4\u03bf\u03ba\u03af\u03bd\u03b7\u03c4\u03bf",
          "\u0633\u064a\u0627\u0631\u0629", "\uc790\ub3d9\ucc28", "\u05e8\u05db\u05d1"]
LABELLED = [{"label": LABELS[i % len(LABELS)], "confidence": round(0.5 + i / 200, 3),
             "box": [i, 2 * i, 30, 40]} for i in range(50)]
TEXT = "".join(LABELS[i % len(LABELS)] + " " for i in range(4000))[:20 * 1024]
LABELS_BYTES = as_bytes(typical_payload(result=LABELLED))
TEXT_BYTES = as_bytes(typical_payload(result=TEXT))
TEXT_UTF8_BYTES = json.dumps(typical_payload(result=TEXT), ensure_ascii=False).encode()

PAYLOAD_BYTES = as_bytes(typical_payload())

# name -> payload bytes: the shapes compared with the fastest JSON library.
SHAPES = [
    ("typical", PAYLOAD_BYTES),
    ("50 non-ASCII labels", LABELS_BYTES),
    ("20 KiB non-ASCII text", TEXT_BYTES),
    ("20 KiB non-ASCII text as UTF-8", TEXT_UTF8_BYTES),
    ("20 KiB frame text", PAYLOAD_FRAME_BYTES),
]
