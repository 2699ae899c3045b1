"""The sink: takes the detectors' payloads in frame order, records each
frame delivered, and reports the run."""

import time

import redis.exceptions

from pemu_sdk.redis.pemu_data import PemuData
from pemu_ports import FIELD, Busy, Consumer, Gone, Stalled

from . import metrics as stage_metrics
from . import view as live_view
from .client import connect
from .dead_letters import Missing
from .failures import Upstream, describe, say_as
from .frame_limit import Limit, guarded
from .frame_set import FrameSet
from .pixels import Ask
from .runs import (DETECTOR, SINK, consumer_name, joined, open_run, own,
                   read_settings)
from .server import DemoError
from .summary import Reorder, Report
from .totals import Totals
from .waiting import Waiting


def sink(client, name, report, on_frame=None, watch=None, say=None):
    """Takes the detectors' payloads until their stream has ended and all of
    it is in, in frame order, without duplicates, and records each frame
    delivered in the run, in the same step as it acknowledges it: a sink
    started after one that died goes on where that one stopped, claiming
    what it held.  ``on_frame(record, report)`` is called per frame
    delivered here; ``watch()`` between takes (it may raise).  One sink
    serves a run: a second one while it lives is refused (Busy)."""
    opts = report.opts
    run = open_run(client, name, opts)
    me = consumer_name("sink")
    limit = Limit(run, opts.max_frame)
    # a frame (should one come) checked before it is decoded, here and in the view
    with joined(run, "sink", me, exclusive=True) as member, guarded(limit.get):
        metrics = stage_metrics.start("sink", run, opts.metrics_at())
        view = ask = None
        try:
            view = live_view.start(run, report, opts, limit.get)
            if view.url is not None:
                report.view_url = view.url
                print("view at %s" % view.url, flush=True)
            ask = Ask(run, always=opts.picture)
            _sink(run, me, member, report, on_frame, watch, say, metrics, view, ask)
        finally:
            if ask is not None:
                try:
                    ask.close()
                except redis.exceptions.RedisError:
                    pass  # the ask expires within seconds
            if view is not None:
                view.close()
            metrics.close()
    return report


def _sink(run, me, member, report, on_frame, watch, say, metrics, view, ask):
    opts = report.opts
    envelope = PemuData(0, SINK, DETECTOR, 0)
    inbox = Consumer(run, run.ports[1], "sink", me, opts.claim_idle,
                     max_deliveries=opts.max_deliveries, window=opts.window,
                     batch=max(1, opts.window // 4))
    dead = report.missing = Missing(run)
    dead.read()
    # what a sink before this one delivered (a watermark and the frames
    # above it), and its totals: this one's summary is the whole run's
    low, above, _, totals = run.delivered_frames()
    report.load(totals)
    reorder = Reorder(opts.reorder, done=FrameSet(low, above | dead.frames))
    settled = []  # frames that will not come, recorded with the next delivery
    waiting = Waiting("detectors", run.name, grace=opts.alive_ttl / 2, say=say)
    progress = time.monotonic()

    def emit(items):
        batch = []
        for entry_id, frame_id, record in items:
            if entry_id is None:
                settled.append(frame_id)  # a frame set aside upstream
                continue
            batch.append((entry_id, report.stamp(record, time.time())))
        done = deliver_all(inbox, report, batch, settled) if len(batch) > 1 else None
        if done is None:  # one by one
            for entry_id, record in batch:
                totals = deliver(inbox, report, entry_id, record, settled)
                del settled[:]
                accept(record, totals)
        else:
            del settled[:]
            for record, totals in done:
                accept(record, totals)

    def accept(record, totals):
        if totals is not None:
            metrics.published.inc()
            view.offer(record, report.add_record(record, totals))
            if on_frame is not None:
                on_frame(record, report)

    def held():
        return sum(1 for _, item in reorder.held if item[0] is not None)

    idle = inbox.block
    while True:
        member.beat()
        view.look()
        ask.refresh(view.watching)
        # frames held behind a gap wait for the logs to settle it: a read
        # that finds nothing comes back soon to read them again
        inbox.block = min(idle, 0.05) if reorder.held else idle
        entries = inbox.take()
        now = time.monotonic()
        if watch is not None:
            watch()
        if now >= dead.next or not entries:
            # often while frames wait behind a gap (was it set aside?), and
            # now and then anyway: a gap the reorder buffer let go of is
            # settled all the same, before the logs' cap trims its entry
            dead.next = now + (0.05 if reorder.held else 0.25)
            for frame_id in dead.read():
                emit(reorder.skip(frame_id, (None, frame_id, None)))
        if not entries:
            end, untaken, pending, live, seen = inbox.state("detector")
            if end is not None and untaken == 0 and pending == held():
                emit(reorder.flush())
                report.sent = end
                break
            try:
                waiting.idle(untaken or pending > held() or end is not None, live, seen)
            except Upstream:
                emit(reorder.flush())
                raise
            if seen and now - progress > opts.stall:
                raise Stalled("nothing arrived for %.0f s" % opts.stall)
            continue
        progress = now
        waiting.busy()
        ready = []  # what the reorder buffer lets go of, delivered together
        for entry_id, fields, reclaimed in entries:
            metrics.taken.inc()
            metrics.claims.inc(int(reclaimed))
            started = time.perf_counter()
            try:
                text = fields[FIELD]
                received = envelope.parse_pemu_data(text)
                record = report.record(received, text)
                frame_id = record["frame_id"]
            except Exception as exc:  # a poison entry: set aside, go on
                inbox.set_aside(entry_id, "%s: %s" % (type(exc).__name__, exc))
                metrics.dead.inc()
                for frame_id in dead.read():
                    ready += reorder.skip(frame_id, (None, frame_id, None))
                continue
            report.parse_s += time.perf_counter() - started
            metrics.step("parse", time.perf_counter() - started)
            before = reorder.duplicates
            items = reorder.push(frame_id, (entry_id, frame_id, record))
            if reorder.duplicates > before:
                inbox.deliver(entry_id, frame_id, None)
            ready += items
        emit(ready)
    report.late = reorder.late


def deliver_all(inbox, report, batch, settled=()):
    """Delivers the records of ``batch`` ((entry id, record), in order)
    together, with the run's totals as of the last, and ``settled``; returns
    [(record, its totals)], or None when one of them was done already (then
    nothing was written: deliver them one by one).  A step sent again after
    its reply was lost finds its own frames delivered: the totals recorded
    say so, and they count as delivered here."""
    totals, chain = report.totals, []
    for _, record in batch:
        totals = totals.copy()
        totals.add(record)
        chain.append(totals)
    records = [record for _, record in batch]
    frames = [(entry_id, record["frame_id"]) for entry_id, record in batch]
    if inbox.deliver_all(frames, totals.dumps(), settled):
        return list(zip(records, chain))
    recorded = inbox.run.delivered_frames()[3]
    if recorded is not None:
        recorded = Totals.loads(recorded)
        if recorded.last_id == records[-1]["frame_id"] and recorded.n == totals.n:
            for entry_id, _ in frames:
                inbox.answered(entry_id)
            return list(zip(records, chain))
    return None


def deliver(inbox, report, entry_id, record, settled=()):
    """Delivers ``record`` (entry ``entry_id``) with the run's totals, and
    ``settled``, the frames that will not come; returns the totals with it,
    or None when it was delivered before.  A step sent again after its
    reply was lost (the connection broke, the server restarted) finds its
    own frame delivered: the totals recorded with it say so (this frame
    last, one more than this sink counted), and it counts as delivered here."""
    totals = report.with_record(record)
    if inbox.deliver(entry_id, record["frame_id"], totals.dumps(), settled):
        return totals
    recorded = inbox.run.delivered_frames()[3]
    if recorded is not None:
        recorded = Totals.loads(recorded)
        if recorded.last_id == record["frame_id"] and recorded.n == report.totals.n + 1:
            return recorded
    return None


def finish_report(run, report):
    report.settings = read_settings(run)
    report.load(run.delivered_frames()[3])
    report.duplicates = int(run.client.hget(run.key, "duplicates") or 0)
    report.read_steps(run.client.hgetall(run.steps))
    report.left = run.left()
    # the counts of the run's hash are exact; the logs keep their last
    # entries only: the frames come from what the sink read as they came
    report.dead = own(run, run.dead_letters())
    report.dropped_ports = own(run, run.dropped())
    missing = report.missing or Missing(run)
    missing.read()
    report.set_aside, report.set_aside_count = missing.set_aside.frames.ids, missing.set_aside.count
    report.dropped, report.dropped_count = missing.dropped.frames.ids, missing.dropped.count
    report.unseen = (missing.set_aside.unseen(report.dead)
                     + missing.dropped.unseen(report.dropped_ports))


def run_sink(url, opts, on_frame=None):
    """The sink alone, for a run whose other stages run elsewhere; removes
    the run's keys at the end, once the other stages have finished (or are
    gone)."""
    client = connect(url)
    report = Report(opts)
    name = opts.name
    try:
        sink(client, name, report, on_frame, say=say_as("sink"))
        run = open_run(client, name, opts)
        finish_report(run, report)
        deadline = time.monotonic() + opts.stall
        while run.cleanup(consumer_name("sink"), ("camera", "detector")):
            if time.monotonic() > deadline:
                raise DemoError("the run %s is done but some of its stages are still alive "
                                "after %.0f s: its keys are left to expire" % (name, opts.stall))
            time.sleep(0.1)
    except (redis.exceptions.RedisError, Gone, Stalled, Upstream, Busy) as exc:
        raise DemoError(describe(exc, url, name))
    return report
