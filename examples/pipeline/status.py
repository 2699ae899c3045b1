"""The status view: ``demo status --redis URL [--run NAME] [--watch S]``.

For each run on the server (each NAME with a key ``pemu-demo:{NAME}:...``
of the run, whichever: a run whose stages died early may have only a
stream): each port's length and end, each group's lag and its pending
entries per consumer with their idle time, the entries set aside and
dropped, and the stages alive.  A key that is not what the run's key of
its name would be is skipped with one line.  It only reads.  On a Redis
Cluster it scans every master for the runs, and reads each run on the master
of its slot.
"""

import re
import sys
import time

import redis.exceptions

from pemu_ports import Run, dead_key, drop_key, end_key, primaries

from .runs import own

PREFIX = "pemu-demo:{"
NAME = re.compile(r"[A-Za-z0-9._-]{1,64}")


def _text(value):
    return value.decode(errors="replace") if isinstance(value, bytes) else value


def run_names(client, say=None, name=None):
    """The names of the runs on the server (on every master of a cluster)
    that have a key, sorted, each once (only ``name``, when given).  A key
    under the demo's prefix that is no run's is skipped, said to ``say``."""
    names = set()
    pattern = PREFIX + ("*" if name is None else name + "}:*")
    keys = (key for node in primaries(client)
            for key in node.scan_iter(match=pattern, count=1000))
    for key in keys:
        key = _text(key)
        n = key[len(PREFIX):].split("}:", 1)[0]
        if "}:" in key and NAME.fullmatch(n):
            names.add(n)
        elif say is not None:
            say("skipped key %s: not a key of a run" % key)
    return sorted(names)


def expected_types(run):
    """{key: the type each key of ``run`` has}."""
    types = {run.key: "hash", run.steps: "hash", run.delivered: "hash"}
    types.update((run.alive(stage), "hash") for stage in Run.STAGES)
    types.update((key, "hash") for key in run.extra.values())
    for stream in run.ports:
        types.update({stream: "stream", end_key(stream): "string",
                      dead_key(stream): "stream", drop_key(stream): "stream"})
    return types


def bad_keys(client, run, say):
    """The keys of ``run`` of another type than the run's (a foreign key of
    the same name), each said to ``say``; they are read as absent.  Returns
    them and how many of the run's keys are there and good."""
    types = expected_types(run)
    with client.pipeline(transaction=False) as pipe:
        for key in types:
            pipe.type(key)
        found = [_text(t) for t in pipe.execute()]
    bad, good = set(), 0
    for (key, want), got in zip(types.items(), found):
        if got == want:
            good += 1
        elif got != "none":
            say("skipped key %s: a %s, not a %s" % (key, got, want))
            bad.add(key)
    return bad, good


def number(value, what, say, default=0):
    """``value`` (bytes or None) as an integer; ``default`` when it is
    missing, or not a number (said to ``say``)."""
    if value is None:
        return default
    try:
        return int(value)
    except ValueError:
        say("skipped %s: not a number (%r)" % (what, _text(value)[:40]))
        return default


def port_state(client, stream, say=print, bad=()):
    """{"length", "end", "groups": [{"name", "lag", "pending", "consumers":
    [{"name", "pending", "idle_ms"}]}]} of one port; a port that does not
    exist (yet, or any more), or is of ``bad``, has length 0 and no groups."""
    state = {"length": 0, "end": None, "groups": []}
    if stream in bad or not client.exists(stream):
        return state
    state["length"] = client.xlen(stream)
    if end_key(stream) not in bad:
        end = client.get(end_key(stream))
        end = number(end, "the end of " + stream, say, -1)
        state["end"] = None if end < 0 else end
    for info in client.xinfo_groups(stream):
        info = {_text(k): v for k, v in info.items()}
        name = _text(info["name"])
        lag = info.get("lag")
        if lag is None:  # not known to the server (before 7, or after a drop)
            lag = len(client.xrange(stream, "(" + _text(info["last-delivered-id"]), "+"))
        consumers = []
        for c in client.xinfo_consumers(stream, name):
            c = {_text(k): v for k, v in c.items()}
            consumers.append({"name": _text(c["name"]), "pending": int(c["pending"]),
                              "idle_ms": int(c["idle"])})
        state["groups"].append({"name": name, "lag": int(lag), "pending": int(info["pending"]),
                                "consumers": consumers})
    return state


def run_state(client, name, ports, say=print):
    """What the status view shows of run ``name`` (see port_state).  Keys
    of another type and values that are no number are skipped, each said
    to ``say``.  None when none of the run's keys is good."""
    run = Run(client, name, ports, extra=("settings",))
    # read on the master of the run's slot, on a cluster
    return _run_state(run.client, run, name, say)


def _run_state(client, run, name, say):
    bad, good = bad_keys(client, run, say)
    if not good:
        return None
    seconds, micros = client.time()
    now_ms = seconds * 1000 + micros // 1000
    alive = {}
    for stage in Run.STAGES:
        key = run.alive(stage)
        marks = {} if key in bad else client.hgetall(key)
        alive[stage] = sorted(_text(c) for c, deadline in marks.items()
                              if number(deadline, "%s in %s" % (_text(c), key), say) > now_ms)
    fields = {} if run.key in bad else client.hgetall(run.key)

    def field(name):
        return number(fields.get(name.encode()), "%s in %s" % (name, run.key), say)
    delivered = None if run.delivered in bad else client.hget(run.delivered, "count")
    state = {"name": name, "alive": alive, "ports": [], "duplicates": field("duplicates"),
             "delivered": number(delivered, "count in " + run.delivered, say)}
    # the counts of the run's own group of each port: other groups may read
    # a port (their own lines show their lag and pending entries)
    if run.key in bad:
        drops = dead = {p: 0 for p in run.ports}
    else:
        drops, dead = own(run, run.dropped()), own(run, run.dead_letters())
    for stream in run.ports:
        port = port_state(client, stream, say, bad)
        port.update(name=stream[len(run.prefix) + 1:], dead=dead[stream],
                    dropped=drops[stream])
        state["ports"].append(port)
    return state


def format_run(state):
    lines = ["run %s: %d frames delivered, %d duplicates dropped" % (
        state["name"], state["delivered"], state["duplicates"])]
    alive = ["%s %s" % (stage, ", ".join(c) if c else "-") for stage, c in state["alive"].items()]
    lines.append("  alive    " + "; ".join(alive))
    for port in state["ports"]:
        lines.append("  port %-16s %d entries, %s, %d dropped, %d dead letters" % (
            port["name"], port["length"],
            "open" if port["end"] is None else "ended at %d frames" % port["end"],
            port["dropped"], port["dead"]))
        for group in port["groups"]:
            lines.append("    group %-10s lag %d, %d pending" % (
                group["name"], group["lag"], group["pending"]))
            for c in group["consumers"]:
                lines.append("      %-40s %d pending, idle %.1f s" % (
                    c["name"], c["pending"], c["idle_ms"] / 1000.0))
    return "\n".join(lines)


def show(client, ports, name=None, out=sys.stdout):
    """Prints the view of run ``name`` (every run when None); returns the
    runs shown.  A run shows when it has any key; what of a run cannot be
    read as the demo writes it is skipped, one line each."""
    def say(line):
        print(line, file=out)
    shown = 0
    for n in run_names(client, say, name):
        try:
            state = run_state(client, n, ports, say)
        except redis.exceptions.ResponseError as exc:  # a key changed under the view
            say("skipped run %s: %s" % (n, str(exc).splitlines()[0]))
            continue
        if state is None:
            continue
        print(format_run(state), file=out)
        shown += 1
    if not shown:
        print("no run %son the server" % ("named %s " % name if name else ""), file=out)
    print(file=out, flush=True)
    return shown


def watch(client, ports, name, every, out=sys.stdout):
    """``show`` every ``every`` seconds until interrupted."""
    while True:
        print(time.strftime("%H:%M:%S"), file=out)
        show(client, ports, name, out)
        time.sleep(every)
