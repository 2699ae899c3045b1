"""Command line of the pipeline demo: python -m pipeline [stage] [options]."""

import argparse
import ctypes
import importlib.util
import os
import signal
import sys

from pemu_sdk.redis.utils import Encoder

from pemu_ports import OVERFLOW

from .frame_limit import MAX_SIDE
from .frames import MIN_SIZE
from .inputs import (ascii_float, ascii_int, frame_size, from_folder, parse_listen, run_name,
                     user_folder)
from .options import Options
from .server import DemoError, PrivateRedis
from .signals import Terminated, on_signal
from .sink import run_sink
from .sources import MAX_DEVICE, SCENE, SCENE_LIVE, kind
from .stages import run_stage
from .summary import pacing
from .urls import absolute_socket, from_environment, shown
from .whole_run import run

def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="demo",
        description="A camera stage publishes synthetic frames through its envelope, a "
                    "detector stage finds the shapes in them and publishes its result, and a "
                    "sink reports latency, frames per second and payload sizes.  With a "
                    "stage named, only that stage runs, against the server of --redis, "
                    "as part of the run named by --run.  'status' shows the runs on the "
                    "server of --redis.")
    parser.add_argument("stage", nargs="?", choices=["camera", "detector", "sink", "status"],
                        help="run this stage alone (default: the whole pipeline), or show "
                             "the state of the runs on the server (status)")
    parser.add_argument("--redis", metavar="URL",
                        help="use this Redis server (redis://[user:password@]host:port/db "
                             "or unix:///path/to/socket; any node of a Redis Cluster, or "
                             "several separated by commas) instead of starting a private one; "
                             "default: the environment's REDIS_URL when set (its password "
                             "is never shown)")
    parser.add_argument("--source", metavar="SRC",
                        help="the camera's frames: a video file, a stream URL (rtsp://, "
                             "http://...) or a capture device index, read with OpenCV; "
                             "'scene:live' for the synthetic scene as a live camera (its "
                             "frames stamped when due); default: the synthetic scene")
    parser.add_argument("--frames", type=ascii_int,
                        help="frames to send (default 150 of the synthetic scene, all of a "
                             "source)")
    parser.add_argument("--fps", type=ascii_float,
                        help="frames per second the camera makes; 0 for as fast as it can "
                             "(default 15 for the synthetic scene, 0 for a file; a live "
                             "source sets its own pace)")
    parser.add_argument("--overflow", choices=OVERFLOW,
                        help="what a port does when it holds --window entries: block (its "
                             "publisher waits) or drop-oldest (the oldest entries not yet "
                             "taken are dropped, counted); default block, drop-oldest for a "
                             "stream, a device or scene:live")
    parser.add_argument("--detector", choices=["shapes", "motion"],
                        help="what the detectors find: the synthetic scene's shapes, or "
                             "moving objects in any footage (background subtraction); "
                             "default shapes for the scene, motion for a source")
    parser.add_argument("--detector-delay", type=ascii_float, default=0.0, metavar="MS",
                        help="milliseconds added to each detection, to play a detector "
                             "slower than its source (default 0)")
    parser.add_argument("--metrics-port", metavar="[HOST:]PORT",
                        help="serve Prometheus metrics at http://HOST:PORT/metrics (host "
                             "default 127.0.0.1); a whole run serves its camera there, its "
                             "detectors and its sink on the ports that follow")
    parser.add_argument("--view-port", metavar="[HOST:]PORT",
                        help="the sink serves a live view at http://HOST:PORT/ (host default "
                             "127.0.0.1): the annotated frames as they are delivered, and "
                             "the run's figures")
    parser.add_argument("--view-fps", type=ascii_float, default=10.0, metavar="F",
                        help="the most frames per second the live view shows (default 10)")
    parser.add_argument("--watch", type=ascii_float, metavar="S",
                        help="status: show the runs again every S seconds until interrupted")
    parser.add_argument("--size", default="640x480", metavar="WxH",
                        help="frame size in pixels (default 640x480)")
    parser.add_argument("--max-frame", metavar="WxH",
                        help="the largest frame a stage decodes: a frame whose image header "
                             "says more pixels is set aside undecoded (default twice each "
                             "side of the camera's frames; %dx%d for a --source)"
                             % (MAX_SIDE, MAX_SIDE))
    parser.add_argument("--encoder", choices=[Encoder.JPG, Encoder.PNG], default=Encoder.JPG,
                        help="image encoding of the frames (default jpg)")
    parser.add_argument("--base64", action="store_true",
                        help="frames as base64 text (default: base85)")
    parser.add_argument("--detectors", type=ascii_int, default=2, metavar="N",
                        help="detector processes sharing the camera's stream (default 2)")
    parser.add_argument("--kill-detector", type=ascii_int, metavar="K",
                        help="kill one detector (SIGKILL) once the sink has received K frames")
    parser.add_argument("--window", type=ascii_int, default=32, metavar="N",
                        help="entries each port may hold before its publisher waits "
                             "(default 32)")
    parser.add_argument("--claim-idle", type=ascii_float, default=2.0, metavar="S",
                        help="seconds after which a frame a consumer took and did not "
                             "answer is claimed by another (default 2)")
    parser.add_argument("--stall", type=ascii_float, metavar="S",
                        help="seconds without progress after which a stage gives up "
                             "(default 30, or 4 times --claim-idle when that is more)")
    parser.add_argument("--max-deliveries", type=ascii_int, default=3, metavar="N",
                        help="deliveries of an entry without an answer after which it is "
                             "set aside as a dead letter instead of claimed again (default 3)")
    parser.add_argument("--keep", type=ascii_float, default=3600.0, metavar="S",
                        help="seconds the keys of a run outlive its last stage (default 3600)")
    parser.add_argument("--run", metavar="NAME",
                        help="the name shared by the stages of one run started one by one "
                             "(default demo; letters, digits, '.', '_', '-'); status: the "
                             "run to show (default every run)")
    parser.add_argument("--report", metavar="DIR",
                        help="also write a picture of the run, DIR/pipeline.png: frames as "
                             "the sink received them, annotated, above the latency of "
                             "every frame")
    parser.add_argument("--quiet", action="store_true", help="print the summary only")
    args = parser.parse_args(argv)
    folder = user_folder()
    args.redis = from_environment(args.redis)
    if args.redis is not None:
        args.redis = absolute_socket(args.redis, folder)
    for option, value in (("--source", args.source), ("--report", args.report)):
        if value is not None and (not value or not value.isprintable()):
            parser.error("%s must be a name on one line" % option)
    if args.stage == "status" and not args.redis:
        parser.error("status needs --redis URL (or REDIS_URL), the server of the runs")
    if args.stage and not args.redis:
        parser.error("a stage run alone needs --redis URL (or REDIS_URL), the server the "
                     "stages share")
    if args.watch is not None and (args.stage != "status" or not 0.1 <= args.watch <= 3600):
        parser.error("--watch goes with status, between 0.1 and 3600 seconds")
    status_run = args.run
    if args.run is None:
        args.run = "demo"
    source_kind = kind(args.source)
    if source_kind == "file":
        args.source = from_folder(args.source, folder)
    if args.report is not None:
        args.report = from_folder(args.report, folder)
    if source_kind == "device" and int(args.source) > MAX_DEVICE:
        parser.error("--source: a capture device index goes from 0 to %d" % MAX_DEVICE)
    if args.frames is None:
        args.frames = 150 if source_kind in (SCENE, SCENE_LIVE) else None
    if args.fps is None:
        args.fps = 15.0 if source_kind in (SCENE, SCENE_LIVE) else 0.0
    if source_kind == SCENE_LIVE and args.fps <= 0:
        parser.error("scene:live needs a rate: --fps above 0")
    if source_kind == "file" and args.stage in (None, "camera") \
            and not os.path.isfile(args.source):
        parser.error("--source: no such file: %s" % shown(args.source))
    if args.report and importlib.util.find_spec("matplotlib") is None:
        parser.error("--report draws with matplotlib, which is not installed "
                     "(pip install matplotlib)")
    if not 0 <= args.detector_delay <= 60000:
        parser.error("--detector-delay must be between 0 and 60000 ms")
    metrics = None
    if args.metrics_port is not None:
        try:
            metrics = parse_listen(args.metrics_port)
        except ValueError:
            parser.error("--metrics-port must be PORT or HOST:PORT, a port up to 65535")
        last = metrics[1] + (0 if args.stage else args.detectors + 1)
        if last > 65535:
            parser.error("--metrics-port: a whole run serves its camera, %d detectors and its "
                         "sink on the ports from %d, up to %d: above 65535"
                         % (args.detectors, metrics[1], last))
    view = None
    if args.view_port is not None:
        if args.stage not in (None, "sink"):
            parser.error("--view-port goes with a whole run or the sink")
        try:
            view = parse_listen(args.view_port)
        except ValueError:
            parser.error("--view-port must be PORT or HOST:PORT, a port up to 65535")
    if not 0.1 <= args.view_fps <= 60:
        parser.error("--view-fps must be between 0.1 and 60")
    if args.detectors < 1 or args.detectors > 16:
        parser.error("--detectors must be between 1 and 16")
    if args.kill_detector is not None:
        if args.stage or args.detectors < 2:
            parser.error("--kill-detector needs the whole pipeline and at least 2 detectors")
        if not 0 <= args.kill_detector < (args.frames or 1 << 62):
            parser.error("--kill-detector must be below --frames")
    if args.window < 2:
        parser.error("--window must be at least 2")
    if not 0.05 <= args.claim_idle <= 600:
        parser.error("--claim-idle must be between 0.05 and 600 seconds")
    if args.stall is None:
        args.stall = max(30.0, 4 * args.claim_idle)
    elif not 2 * args.claim_idle < args.stall <= 86400:
        parser.error("--stall must be more than twice --claim-idle (a frame left by a stage "
                     "that stopped is claimed up to 1.5 times --claim-idle later) and at "
                     "most 86400")
    if not 1 <= args.max_deliveries <= 100:
        parser.error("--max-deliveries must be between 1 and 100")
    if not 1 <= args.keep <= 30 * 86400:
        parser.error("--keep must be between 1 second and 30 days")
    if not run_name(args.run):
        parser.error("--run must be 1 to 64 letters, digits, '.', '_' or '-'")
    if args.frames is not None and args.frames < 1:
        parser.error("--frames must be at least 1")
    if not 0 <= args.fps <= 1000:
        parser.error("--fps must be between 0 and 1000")
    try:
        width, height = frame_size(args.size)
    except ValueError:
        parser.error("--size must look like 640x480")
    if not (MIN_SIZE[0] <= width <= MAX_SIDE and MIN_SIZE[1] <= height <= MAX_SIDE):
        parser.error("--size must be at least %dx%d and at most %dx%d"
                     % (MIN_SIZE + (MAX_SIDE, MAX_SIDE)))
    max_frame = None
    if args.max_frame is not None:
        try:
            max_frame = tuple(int(v) for v in args.max_frame.lower().split("x"))
        except ValueError:
            max_frame = ()
        if len(max_frame) != 2 or not all(1 <= v <= 4 * MAX_SIDE for v in max_frame):
            parser.error("--max-frame must look like 1280x960, each side from 1 to %d"
                         % (4 * MAX_SIDE))
    opts = Options(frames=args.frames, fps=args.fps, width=width, height=height,
                   encoder=args.encoder, with_base64=args.base64, detectors=args.detectors,
                   kill_detector=args.kill_detector, window=args.window,
                   reorder=args.window - 1, claim_idle=args.claim_idle, name=args.run,
                   stall=args.stall, max_deliveries=args.max_deliveries, keep=args.keep,
                   source=args.source, overflow=args.overflow, detector=args.detector,
                   detect_delay=args.detector_delay / 1000.0, metrics=metrics,
                   max_frame=max_frame, view=view, view_fps=args.view_fps,
                   picture=bool(args.report) and args.stage in (None, "sink"))
    args.status_run = status_run
    return args, opts


def print_frame(record, report):
    fps = report.fps()
    print("frame %5d  latency %7.1f ms  %5s fps  camera payload %8d B  "
          "detector payload %5d B  shapes %d/%d"
          % (record["frame_id"], record["latency_ms"], "%.1f" % fps if fps else "-",
             record["camera_bytes"], record["detector_bytes"], record["hits"],
             record["expected"]), flush=True)


STEP_ORDER = ("render", "encode", "text", "publish", "wait", "parse", "decode", "detect")


def print_summary(summary, where):
    """The summary of the run the sink served: its settings as the camera
    published them, and the detectors that answered its frames."""
    lat = summary["latency_ms"]
    run, detectors = summary["run"], summary["detectors"]
    if run is None:
        made = "the camera published no settings"
    else:
        made = "%s%s, %s %s %s" % (
            "" if run["source"] in (None, SCENE) else "%s, " % run["source"], pacing(run),
            "%dx%d" % (run["width"], run["height"])
            if kind(run["source"]) in (SCENE, SCENE_LIVE) else "frames as read",
            run["encoder"], "base64" if run["with_base64"] else "base85")
    print("summary (%s, %d detector%s%s, Redis at %s):"
          % (made, detectors, "" if detectors == 1 else "s",
             "" if run is None else ", " + run["overflow"], where))
    print("  frames     %d sent, %d received, %d lost, %d out of order, %d duplicates dropped, "
          "%d set aside" % (summary["sent"], summary["received"], summary["lost"],
                            summary["out_of_order"], summary["duplicates"],
                            summary["set_aside"]))
    dropped = [(port, n) for port, n in sorted(summary["dropped_ports"].items()) if n]
    if dropped:
        print("  dropped    %d frames for freshness (%.1f/s): %s"
              % (summary["dropped"], summary["dropped"] / summary["seconds"]
                 if summary["seconds"] else 0.0,
                 ", ".join("%d at %s" % (n, port.split("}:", 1)[-1]) for port, n in dropped)))
    if summary["earlier"]:
        print("  sink       %d frames delivered by a sink before this one, %d by this one"
              % (summary["earlier"], summary["received"] - summary["earlier"]))
    dead = [(port, n) for port, n in sorted(summary["dead"].items()) if n]
    if dead:
        print("  dead       %s (entries set aside to <port>:dead, removed with the "
              "run's keys)" % ", ".join("%d at %s" % (n, port) for port, n in dead))
    print("  latency    mean %.1f ms, median %.1f ms, p95 %.1f ms, p99 %.1f ms, max %.1f ms"
          % (lat["mean"], lat["p50"], lat["p95"], lat["p99"], lat["max"]))
    print("  throughput %.1f frames/s over %.1f s" % (summary["fps"], summary["seconds"]))
    print("  payloads   camera %.0f B, detector %.0f B on average"
          % (summary["camera_bytes"], summary["detector_bytes"]))
    if "motion" in summary["finders"]:
        print("  detection  %d moving objects boxed in %d frames"
              % (summary["found"], summary["received"]))
    else:
        print("  detection  %d of %d shapes found" % (summary["hits"], summary["expected"]))
    for stage in ("camera", "detector", "sink"):
        times = summary["steps"].get(stage)
        if times:
            names = [s for s in STEP_ORDER if s in times]
            print("  %-10s %s ms per frame" % (
                stage, ", ".join("%s %.2f" % (s, times[s]) for s in names)))
    if summary["fault"] is not None:
        print("  fault      a detector killed at frame %d: %d frames reclaimed, %d duplicates "
              "dropped, longest gap %.0f ms, %d lost"
              % (summary["fault"][0], summary["reclaimed"], summary["duplicates"],
                 summary["longest_gap_ms"], summary["lost"]))
    if summary["left"] is not None:
        print("  Redis      %d entries of the run left at the end" % summary["left"])


def keep_frame_buffers():
    """Fixed heap thresholds for this process and the stages it forks.

    Every frame allocates and frees buffers of about a megabyte (the image,
    its encoded and text forms).  glibc hands such a block back to the
    system when it is freed at the top of the heap and faults it in again
    for the next frame, unless its adaptive thresholds happen to have grown
    past that size; which one a stage gets depends on the order of its other
    allocations, and the page faults double the decode time.  Blocks up to
    32 MB (a 4096x2730 frame) stay in the heap, and up to 64 MB of free heap
    is kept.  Elsewhere than glibc this does nothing."""
    try:
        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, AttributeError):
        return
    m_trim_threshold, m_mmap_threshold = -1, -3
    mallopt(m_mmap_threshold, 32 << 20)
    mallopt(m_trim_threshold, 64 << 20)


def show_status(args):
    """The status view; 0 when a run was shown (or --watch was stopped)."""
    from .client import connect
    from .failures import describe
    from .runs import PORTS
    from .status import show, watch
    client = connect(args.redis)
    try:
        if args.watch:
            watch(client, PORTS, args.status_run, args.watch)
        return 0 if show(client, PORTS, args.status_run) else 1
    except KeyboardInterrupt:
        return 0
    except redis_errors() as exc:
        raise DemoError(describe(exc, args.redis, args.status_run))


def redis_errors():
    import redis.exceptions
    return redis.exceptions.RedisError


def main(argv=None):
    args, opts = parse_args(sys.argv[1:] if argv is None else argv)
    keep_frame_buffers()
    on_frame = None if args.quiet else print_frame
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    try:
        if args.stage == "status":
            return show_status(args)
        if args.stage in ("camera", "detector"):
            run_stage(args.stage, args.redis, opts)
            print("%s: done (run %s)" % (args.stage, opts.name))
            return 0
        if args.stage == "sink":
            report = run_sink(args.redis, opts, on_frame)
            where = shown(args.redis)
        elif args.redis:
            report = run(args.redis, opts, on_frame)
            where = shown(args.redis)
        else:
            with PrivateRedis() as server:
                print("started a private redis-server at %s" % server.url, flush=True)
                report = run(server.url, opts, on_frame)
            where = "a private redis-server, now stopped"
    except DemoError as exc:
        print("demo: error: %s" % exc, file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("demo: interrupted", file=sys.stderr)
        return 130
    except Terminated:
        print("demo: stopped (SIGTERM)", file=sys.stderr)
        return 143
    summary = report.summary()
    print_summary(summary, where)
    if args.report:
        from .picture import draw
        try:
            print("  picture    %s" % draw(report, args.report))
        except OSError as exc:
            print("demo: error: cannot write the picture: %s" % exc, file=sys.stderr)
            return 1
    complete = (summary["lost"] == 0 and summary["out_of_order"] == 0
                and summary["set_aside"] == 0)
    return 0 if complete else 1


if __name__ == "__main__":
    sys.exit(main())
