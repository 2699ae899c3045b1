"""The status view: ``demo status --redis URL [--run NAME] [--watch S]``.

For each run on the server (each hash ``pemu-demo:{NAME}:run``): each port's
length and end, each group's lag and its pending entries per consumer with
their idle time, the entries set aside and dropped, and the stages alive.
It only reads.
"""

import sys
import time

from pemu_ports import Run, dead_key, end_key

PREFIX = "pemu-demo:{"


def _text(value):
    return value.decode() if isinstance(value, bytes) else value


def run_names(client):
    """The names of the runs on the server, sorted."""
    names = set()
    for key in client.scan_iter(match=PREFIX + "*}:run", count=1000):
        key = _text(key)
        names.add(key[len(PREFIX):-len("}:run")])
    return sorted(names)


def port_state(client, stream):
    """{"length", "end", "groups": [{"name", "lag", "pending", "consumers":
    [{"name", "pending", "idle_ms"}]}]} of one port; a port that does not
    exist (yet, or any more) has length 0 and no groups."""
    state = {"length": 0, "end": None, "groups": []}
    if not client.exists(stream):
        return state
    state["length"] = client.xlen(stream)
    end = client.get(end_key(stream))
    state["end"] = None if end is None else int(end)
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


def run_state(client, name, ports):
    """What the status view shows of run ``name`` (see port_state)."""
    run = Run(client, name, ports)
    seconds, micros = client.time()
    now_ms = seconds * 1000 + micros // 1000
    alive = {}
    for stage in Run.STAGES:
        marks = client.hgetall(run.alive(stage))
        alive[stage] = sorted(_text(c) for c, deadline in marks.items()
                              if int(deadline) > now_ms)
    drops = run.dropped()
    state = {"name": name, "alive": alive, "ports": [],
             "duplicates": int(client.hget(run.key, "duplicates") or 0),
             "delivered": int(client.hget(run.delivered, "count") or 0)}
    for stream in run.ports:
        port = port_state(client, stream)
        port.update(name=stream[len(run.prefix) + 1:], dead=client.xlen(dead_key(stream)),
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
    runs shown."""
    names = [name] if name is not None else run_names(client)
    shown = 0
    for n in names:
        if not client.exists(Run(client, n, ports).key):
            continue
        print(format_run(run_state(client, n, ports)), file=out)
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
