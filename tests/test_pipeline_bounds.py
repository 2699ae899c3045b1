"""Runs that never end stay bounded, against a real redis-server: the record
of delivered frames and the sink's figures stay small, Redis and every stage
stay flat over a long fast run, a frame that would decode to gigabytes is
set aside undecoded, every key expires whenever a stage dies, and the status
view sees every run and survives foreign or malformed keys."""
import signal
import subprocess
import sys
import time
import uuid

import pytest

from test_pipeline import EXAMPLES, server  # noqa: F401  (the fixture)
from test_pipeline_faults import Stages, matrix
from test_pipeline_streams import client  # noqa: F401  (a run of one port)

from pemu_ports import Consumer, Publisher, Run, ensure_group  # noqa: E402
from pipeline.runs import CAMERA, PORTS  # noqa: E402

redis = pytest.importorskip("redis")
np = pytest.importorskip("numpy")


@pytest.fixture
def stages(server):  # noqa: F811
    s = Stages(server.url)
    yield s
    s.close()
    s.client.delete(*s.keys() or ["none"])


# ---- Every key expires; the status view sees every run ----

def test_a_group_and_its_stream_are_made_with_the_runs_expiry(client):  # noqa: F811
    run_, stream = client
    ensure_group(run_, stream, "g")
    assert 0 < run_.client.pttl(stream) <= run_.keep_ms
    run_.client.persist(stream)
    ensure_group(run_, stream, "g")  # there already: the expiry mended, the group kept
    assert run_.client.pttl(stream) > 0 and len(run_.client.xinfo_groups(stream)) == 1
