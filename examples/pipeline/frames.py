"""Synthetic camera frames and the shape finder of the detector stage."""

import time

import cv2
import numpy as np

SHAPES = ("circle", "square", "triangle")
# BGR colours, all far brighter than the background.
# Below this the shapes are too few pixels to tell apart.
MIN_SIZE = (160, 120)
COLOURS = {"circle": (60, 220, 250), "square": (250, 180, 60), "triangle": (120, 250, 120)}


class Scene:
    """Three shapes that move across their own lanes and bounce at the edges.

    ``frame(i)`` draws frame ``i`` with the time it was made written at the
    top, and returns it with where each shape is: a list of
    {"label", "center"} with the centre in pixels.
    """

    def __init__(self, width=640, height=480):
        if width < MIN_SIZE[0] or height < MIN_SIZE[1]:
            raise ValueError("frames must be at least %dx%d pixels" % MIN_SIZE)
        self.width, self.height = width, height
        self.size = max(8, height // 8)
        self.banner = max(10, height // 16)
        lane = (height - self.banner) // len(SHAPES)
        self.lanes = [self.banner + lane * k + lane // 2 for k in range(len(SHAPES))]
        ramp = np.linspace(20, 60, width, dtype=np.float32)
        self.background = np.repeat(
            np.repeat(ramp[None, :, None], height, axis=0), 3, axis=2).astype(np.uint8)

    def _x(self, i, speed, phase):
        # Back and forth across the frame, never leaving it.
        span = self.width - 2 * self.size
        travel = int(i * speed + phase * span) % (2 * span)
        return self.size + (travel if travel < span else 2 * span - travel)

    def frame(self, i, stamp=None):
        image = self.background.copy()
        s = self.size
        truth = []
        for k, label in enumerate(SHAPES):
            x = self._x(i, speed=(3 + 2 * k) * s / 20, phase=k / 3)
            y = self.lanes[k] + int(s / 4 * np.sin(i / (6 + k)))
            colour = COLOURS[label]
            if label == "circle":
                cv2.circle(image, (x, y), s // 2, colour, -1)
            elif label == "square":
                cv2.rectangle(image, (x - s // 2, y - s // 2), (x + s // 2, y + s // 2), colour, -1)
            else:
                pts = np.array([(x, y - s // 2), (x - s // 2, y + s // 2), (x + s // 2, y + s // 2)],
                               np.int32)
                cv2.fillPoly(image, [pts], colour)
            truth.append({"label": label, "center": [x, y]})
        stamp = time.time() if stamp is None else stamp
        text = "frame %06d  %s.%03d" % (
            i, time.strftime("%H:%M:%S", time.localtime(stamp)), int(stamp * 1000) % 1000)
        cv2.putText(image, text, (4, self.banner - 3), cv2.FONT_HERSHEY_PLAIN,
                    self.banner / 16, (90, 90, 90), 1, cv2.LINE_AA)
        return image, truth


def find_shapes(image):
    """The bright shapes of a frame: a list of {"label", "center", "box", "area"}.

    The frame is thresholded, and each outer contour large enough not to be
    text is named by how much of its bounding box it fills: a square all of
    it, a circle about pi/4, a triangle half.  Sorted by label.
    """
    grey = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
    _, mask = cv2.threshold(grey, 110, 255, cv2.THRESH_BINARY)
    found = cv2.findContours(mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
    contours = found[-2]  # OpenCV 3 returns three values, 4 and later two
    min_area = (min(image.shape[:2]) / 24.0) ** 2
    shapes = []
    for contour in contours:
        x, y, w, h = cv2.boundingRect(contour)
        filled = int(np.count_nonzero(mask[y:y + h, x:x + w]))
        if filled < min_area:
            continue
        ratio = filled / float(w * h)
        if ratio > 0.9:
            label = "square"
        elif ratio > 0.65:
            label = "circle"
        elif ratio > 0.35:
            label = "triangle"
        else:
            continue
        shapes.append({"label": label, "center": [x + w // 2, y + h // 2], "box": [x, y, w, h],
                       "area": filled})
    shapes.sort(key=lambda s: (s["label"], s["center"]))
    return shapes


def matches(found, truth, tolerance):
    """How many true shapes were found with the right label within
    ``tolerance`` pixels of their centre."""
    hits = 0
    for want in truth:
        for got in found:
            if got["label"] == want["label"] and all(
                    abs(a - b) <= tolerance for a, b in zip(got["center"], want["center"])):
                hits += 1
                break
    return hits
