#!/usr/bin/env bash
# The pipeline demo against a real redis-server on CPython 3.7: its
# integration tests (every frame arrives with its metadata, in order, none
# lost, with a detector killed part-way; the ports' trimming, backpressure
# and claims; a server that goes away; stages started one by one; failures
# and bad options reported; passwords never shown, inputs checked in full,
# relative paths the caller's), which must not be skipped here, and its fault
# matrix (poison entries, stages killed, stopped and restarted, a second
# camera, scripts and keys gone, a full or read-only server, signals: exit
# statuses, counts, no key and no process left), its video sources, live
# feeds that drop, metrics and status view, a server shared with other
# readers and stages in containers; then the README command
# itself, briefly, with a detector killed and the picture written.
set -euo pipefail
cd "$(dirname "$0")/../.."
source tools/redis.sh
ensure_redis_server
PEMU_REQUIRE_REDIS=1 PEMU_FAULT_MATRIX=1 bash tools/test.sh -q tests/test_pipeline.py \
  tests/test_pipeline_streams.py tests/test_pipeline_faults.py tests/test_pipeline_live.py \
  tests/test_pipeline_shared.py tests/test_pipeline_inputs.py \
  tests/test_pipeline_bounds.py tests/test_pipeline_cluster.py
report=$(mktemp -d)
trap 'rm -rf "$report"' EXIT
PEMU_SKIP_BUILD=1 bash tools/demo.sh --frames 60 --fps 30 --quiet --kill-detector 20 \
  --claim-idle 0.5 --report "$report"
test -s "$report/pipeline.png"
