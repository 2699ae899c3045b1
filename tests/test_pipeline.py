"""The pipeline demo against a real redis-server: camera, detector and sink."""
import os
import shutil
import subprocess
import sys

import pytest

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")
sys.path.insert(0, EXAMPLES)

from pipeline.server import DemoError, PrivateRedis  # noqa: E402
from pipeline.options import Options  # noqa: E402
from pipeline.runs import CAMERA  # noqa: E402
from pipeline.whole_run import run  # noqa: E402

FRAMES = 24


@pytest.fixture(scope="module")
def server():
    if shutil.which("redis-server") is None and not os.path.exists("/usr/bin/redis-server"):
        reason = "redis-server is not installed (apt-get install redis-server)"
        if os.environ.get("PEMU_REQUIRE_REDIS"):
            pytest.fail(reason + ", and PEMU_REQUIRE_REDIS asks for these tests to run")
        pytest.skip(reason)
    with PrivateRedis() as private:
        yield private


def demo(*args):
    return subprocess.run([sys.executable, "-m", "pipeline"] + list(args), cwd=EXAMPLES,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120)


@pytest.mark.parametrize("encoder, with_base64", [("jpg", False), ("png", True)])
def test_every_frame_arrives_in_order_with_its_metadata(server, encoder, with_base64):
    opts = Options(frames=FRAMES, fps=0, width=160, height=120,
                   encoder=encoder, with_base64=with_base64)
    seen = []
    report = run(server.url, opts, on_frame=lambda record, _: seen.append(record["frame_id"]))
    records = report.records
    assert seen == [r["frame_id"] for r in records] == list(range(FRAMES))
    stamps = [r["source"]["ts"] for r in records]
    assert stamps == sorted(stamps) and len(set(stamps)) == FRAMES
    for i, r in enumerate(records):
        source = dict(r["source"], ts=None)
        assert source == {"id": CAMERA["id"], "type": CAMERA["type"], "name": CAMERA["name"],
                          "source_name": "camera_0", "source_key": "camera-1_0",
                          "output_port_idx": 0, "frame_id": i, "ts": None}
        # the detector's frame format as merged from the camera's payloads:
        # a False flag equals the class default and is not stored
        assert r["frame_format"] == dict({"encoder": encoder},
                                         **({"with_base64": True} if with_base64 else {}))
        assert r["hits"] == r["expected"] == 3 and len(r["shapes"]) == 3
        assert r["camera_bytes"] > 1000 and 0 < r["latency_ms"] < 60e3
    summary = report.summary()
    assert (summary["sent"], summary["received"], summary["lost"], summary["out_of_order"]) == (
        FRAMES, FRAMES, 0, 0)
    # the stream's keys are gone from the server
    import redis
    assert redis.Redis.from_url(server.url).keys("pemu-demo:*") == []


def test_failed_stage_is_reported(server):
    with pytest.raises(DemoError, match="^the camera stage failed"):
        run(server.url, Options(frames=3, fps=0, width=160, height=120, encoder="bmp"))


def test_command_with_private_server(server):
    out = demo("--frames", "5", "--fps", "0", "--size", "160x120")
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0].startswith("started a private redis-server at unix://")
    assert [line.split()[1] for line in lines[1:6]] == ["0", "1", "2", "3", "4"]
    assert "5 sent, 5 received, 0 lost, 0 out of order" in out.stdout
    assert not os.path.exists(lines[0].split("unix://")[1])  # stopped, folder removed


@pytest.mark.parametrize("args, status, message", [
    (["--frames", "0"], 2, "--frames must be at least 1"),
    (["--size", "100"], 2, "--size must look like 640x480"),
    (["--encoder", "gif"], 2, "invalid choice: 'gif'"),
    (["--redis", "unix:///nonexistent/redis.sock"], 1, "cannot reach Redis at unix://"),
    (["--redis", "http://localhost"], 1, "bad Redis URL"),
    (["--claim-idle", "25", "--stall", "30"], 2, "--stall must be more than twice --claim-idle"),
    (["--size", "70000x160"], 2, "--size must be at least 160x120 and at most 4096x4096"),
    (["--run", "a}b{"], 2, "--run must be 1 to 64 letters"),
    (["--max-deliveries", "0"], 2, "--max-deliveries must be between 1 and 100"),
])
def test_command_refuses_clearly(args, status, message):
    out = demo(*args)
    assert out.returncode == status and message in out.stderr
    assert "Traceback" not in out.stderr and out.stdout == ""
