"""A frame as the sink delivered it, annotated: each detector's boxes and
labels, the frame id and the latency drawn onto it.  The live view and the
picture of a run draw the same."""

import cv2


def annotate(image, record):
    """Draws the shapes the detector found (boxed, labelled), the frame id
    and the latency onto ``image`` (BGR, changed in place) and returns it."""
    scale = max(0.35, image.shape[0] / 480.0)
    for shape in record["shapes"]:
        x, y, w, h = (int(v) for v in shape["box"])
        cv2.rectangle(image, (x - 2, y - 2), (x + w + 2, y + h + 2), (0, 0, 255), 2)
        cv2.putText(image, str(shape["label"])[:40], (x, max(14, y - 8)),
                    cv2.FONT_HERSHEY_SIMPLEX, 0.8 * scale, (40, 40, 255), 2, cv2.LINE_AA)
    text = "#%d  %.0f ms%s" % (record["frame_id"], record["latency_ms"],
                               "  reclaimed" if record["reclaimed"] else "")
    height = image.shape[0]
    cv2.rectangle(image, (0, height - int(40 * scale)), (image.shape[1], height), (0, 0, 0), -1)
    cv2.putText(image, text, (8, height - int(12 * scale)), cv2.FONT_HERSHEY_SIMPLEX,
                1.0 * scale, (255, 255, 255), 2, cv2.LINE_AA)
    return image
