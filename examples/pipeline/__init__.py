"""A two-stage video pipeline over Redis, built on the payload envelopes.

camera    makes synthetic frames (moving shapes, a timestamp) and publishes
          each as a payload through its envelope;
detector  consumes them through its own envelope, finds the shapes with
          OpenCV and publishes its result;
sink      consumes the results and reports latency, frames per second and
          payload sizes per frame, then a summary.

Run it with ``bash tools/demo.sh`` (see ``--help``).
"""
