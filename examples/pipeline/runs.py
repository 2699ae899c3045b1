"""The demo's run: its nodes, ports and keys, the settings the camera
publishes with it, and the names of its consumers."""

import binascii
import os
import socket

from pemu_ports import Run

CAMERA = {"id": "camera-1", "type": "camera", "name": "Synthetic camera"}
DETECTOR = {"id": "detector-1", "type": "shape-detection", "name": "Shape detector"}
SINK = {"id": "sink-1", "type": "sink", "name": "Report"}

PORTS = ("camera-1:out:0", "detector-1:out:0")
# The group of the run that reads each port: the detectors read the camera's,
# the sink the detectors'.  Other applications may read a port through groups
# of their own: their drops, dead letters and claims are not the run's.
READERS = ("detector", "sink")


def open_run(client, name, opts):
    """The keys of run ``name``, with the hash of the settings the camera
    made it at (``run.extra["settings"]``)."""
    return Run(client, name, PORTS, keep=opts.keep, alive_ttl=opts.alive_ttl,
               extra=("settings",))


def publish_settings(run, opts):
    """The camera's settings, written with the run for the sink to report:
    the sink's own options describe the sink, not the run it serves."""
    settings = run.extra["settings"]
    with run.client.pipeline() as pipe:
        pipe.hset(settings, mapping={
            "frames": "" if opts.frames is None else opts.frames, "fps": repr(float(opts.fps)),
            "width": opts.width, "height": opts.height, "encoder": opts.encoder,
            "with_base64": int(bool(opts.with_base64)), "source": opts.source or "",
            "overflow": opts.overflow})
        pipe.pexpire(settings, run.keep_ms)
        pipe.execute()


def read_settings(run):
    """The settings the camera published with the run, or None when there
    are none (the camera never started)."""
    raw = {k.decode(): v.decode() for k, v in run.client.hgetall(run.extra["settings"]).items()}
    if not raw:
        return None
    return {"frames": int(raw["frames"]) if raw["frames"] else None, "fps": float(raw["fps"]),
            "width": int(raw["width"]), "height": int(raw["height"]),
            "encoder": raw["encoder"], "with_base64": raw["with_base64"] == "1",
            "source": raw["source"] or None, "overflow": raw["overflow"]}


def own(run, counts):
    """{port: count} for the run's own group of each port, from the
    {port: {group: count}} of ``run.dropped()`` or ``run.dead_letters()``."""
    return {p: counts.get(p, {}).get(g, 0) for p, g in zip(run.ports, READERS)}


_token = (0, "")  # (process id, token) of this process


def consumer_name(stage):
    """This process's name in ``stage``: the host, the process id and a token
    drawn when the process started (a forked child draws its own).  The
    first processes of two containers on one host have the same host name
    and process id; the token tells them apart."""
    global _token
    pid = os.getpid()
    if _token[0] != pid:
        _token = (pid, binascii.hexlify(os.urandom(4)).decode())
    return "%s-%s-%d-%s" % (stage, socket.gethostname(), pid, _token[1])
