"""The demo's run: its nodes, ports and keys, the settings the camera
publishes with it, and the names of its consumers."""

import binascii
import contextlib
import os
import socket

import redis.exceptions

from pemu_ports import Member, Run

from .sources import SCENE, SCENE_LIVE, kind
from .urls import shown

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
            "with_base64": int(bool(opts.with_base64)), "source": shown(opts.source) or "",
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


def settings_of(opts):
    """The settings ``opts`` would publish, as read_settings reads them."""
    return {"frames": opts.frames, "fps": float(opts.fps), "width": opts.width,
            "height": opts.height, "encoder": opts.encoder,
            "with_base64": bool(opts.with_base64), "source": shown(opts.source) or None,
            "overflow": opts.overflow}


def _setting(field, value):
    if field == "size":
        return "size %dx%d" % value
    if field == "with_base64":
        return "base64" if value else "base85"
    if field == "source":
        return "source %s" % (value or "scene")
    if field == "frames":
        return "frames %s" % ("to the end" if value is None else value)
    return "%s %s" % (field, "%g" % value if isinstance(value, float) else value)


def changed_settings(published, opts):
    """None when ``opts`` make frames as the run's ``published`` settings
    say (or there are none), otherwise one line naming the difference: a
    camera restarted in a run must not rewrite what its frames so far were
    made with."""
    if published is None:
        return None
    mine = settings_of(opts)
    then, now = dict(published), dict(mine)
    for d in (then, now):
        d["size"] = (d.pop("width"), d.pop("height"))
    fields = [f for f in ("source", "size", "encoder", "with_base64", "fps", "frames",
                          "overflow") if then[f] != now[f]]
    if kind(published["source"]) not in (SCENE, SCENE_LIVE) and "size" in fields:
        fields.remove("size")  # frames are sent as read: the size is not the camera's
    if not fields:
        return None
    return ("the run %s was started with %s: its camera restarted with %s would describe "
            "its frames wrongly; give the same options, or another name with --run"
            % (opts.name, _words(then, fields), _words(now, fields)))


def _words(settings, fields):
    return " and ".join(_setting(f, settings[f]) for f in fields)


def resume_at(run):
    """The frame a camera joining ``run`` publishes first: the one after the
    last published."""
    return int(run.client.hget(run.key, "next") or 0)


def made_here(run):
    """True when the run does not exist yet: the stage about to join makes
    it (see abandon)."""
    return not run.client.exists(run.key)


def started(run):
    """True once an entry was published on a port of the run (its entries
    may be taken and trimmed since: the stream remembers its last id)."""
    for port in run.ports:
        if run.client.exists(port):
            last = run.client.xinfo_stream(port)["last-generated-id"]
            if (last.decode() if isinstance(last, bytes) else last) != "0-0":
                return True
    return False


def abandon(run, consumer):
    """Removes the keys of ``run``, which the stage ``consumer`` made and
    which failed or was stopped before the run started, unless another
    stage of it is alive: an exit that leaves nothing behind.  Best effort
    (the keys expire anyway)."""
    try:
        if not started(run):
            run.cleanup(consumer, Run.STAGES)
    except redis.exceptions.RedisError:
        pass


@contextlib.contextmanager
def joined(run, stage, consumer, exclusive=False):
    """The Member ``consumer`` of ``stage`` in ``run`` for the block: joined
    at its start, left at its end.  A stage that made the run and fails
    before the run started removes what it made (abandon)."""
    member = Member(run, stage, consumer, exclusive)
    fresh = made_here(run)
    try:
        member.join()
        yield member
    except BaseException:
        if fresh:
            abandon(run, consumer)
        raise
    finally:
        member.leave()


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
