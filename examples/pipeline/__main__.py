"""Command line of the pipeline demo: python -m pipeline [options]."""

import argparse
import sys

from pemu_sdk.redis.utils import Encoder

from .frames import MIN_SIZE
from .server import DemoError, PrivateRedis
from .stages import Options, run


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="demo",
        description="A camera stage publishes synthetic frames through its envelope, a "
                    "detector stage finds the shapes in them and publishes its result, and a "
                    "sink reports latency, frames per second and payload sizes.")
    parser.add_argument("--redis", metavar="URL",
                        help="use this Redis server (redis://host:port/db or "
                             "unix:///path/to/socket) instead of starting a private one")
    parser.add_argument("--frames", type=int, default=150, help="frames to send (default 150)")
    parser.add_argument("--fps", type=float, default=15.0,
                        help="frames per second the camera makes; 0 for as fast as it can "
                             "(default 15)")
    parser.add_argument("--size", default="640x480", metavar="WxH",
                        help="frame size in pixels (default 640x480)")
    parser.add_argument("--encoder", choices=[Encoder.JPG, Encoder.PNG], default=Encoder.JPG,
                        help="image encoding of the frames (default jpg)")
    parser.add_argument("--base64", action="store_true",
                        help="frames as base64 text (default: base85)")
    parser.add_argument("--quiet", action="store_true", help="print the summary only")
    args = parser.parse_args(argv)
    if args.frames < 1:
        parser.error("--frames must be at least 1")
    if not 0 <= args.fps <= 1000:
        parser.error("--fps must be between 0 and 1000")
    try:
        width, height = (int(v) for v in args.size.lower().split("x"))
    except ValueError:
        parser.error("--size must look like 640x480")
    if width < MIN_SIZE[0] or height < MIN_SIZE[1] or width * height > 4096 * 4096:
        parser.error("--size must be at least %dx%d and at most 4096x4096" % MIN_SIZE)
    opts = Options(frames=args.frames, fps=args.fps, width=width, height=height,
                   encoder=args.encoder, with_base64=args.base64)
    return args, opts


def print_frame(record, report):
    fps = report.fps()
    print("frame %5d  latency %7.1f ms  %5s fps  camera payload %8d B  "
          "detector payload %5d B  shapes %d/%d"
          % (record["frame_id"], record["latency_ms"], "%.1f" % fps if fps else "-",
             record["camera_bytes"], record["detector_bytes"], record["hits"],
             record["expected"]), flush=True)


def print_summary(summary, opts, where):
    lat = summary["latency_ms"]
    print("summary (%s, %dx%d %s %s, Redis at %s):"
          % ("paced at %g fps" % opts.fps if opts.fps else "unpaced", opts.width, opts.height,
             opts.encoder, "base64" if opts.with_base64 else "base85", where))
    print("  frames     %d sent, %d received, %d lost, %d out of order"
          % (summary["sent"], summary["received"], summary["lost"], summary["out_of_order"]))
    print("  latency    mean %.1f ms, median %.1f ms, p95 %.1f ms, max %.1f ms"
          % (lat["mean"], lat["p50"], lat["p95"], lat["max"]))
    print("  throughput %.1f frames/s over %.1f s" % (summary["fps"], summary["seconds"]))
    print("  payloads   camera %.0f B, detector %.0f B on average"
          % (summary["camera_bytes"], summary["detector_bytes"]))
    print("  detection  %d of %d shapes found, %.1f ms per frame"
          % (summary["hits"], summary["expected"], summary["detect_ms"]))


def main(argv=None):
    args, opts = parse_args(sys.argv[1:] if argv is None else argv)
    on_frame = None if args.quiet else print_frame
    try:
        if args.redis:
            report = run(args.redis, opts, on_frame)
            where = args.redis
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
    summary = report.summary()
    print_summary(summary, opts, where)
    complete = summary["lost"] == 0 and summary["out_of_order"] == 0
    return 0 if complete else 1


if __name__ == "__main__":
    sys.exit(main())
