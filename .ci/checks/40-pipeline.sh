#!/usr/bin/env bash
# The pipeline demo against a real redis-server on CPython 3.7: its
# integration test (every frame arrives with its metadata, in order, none
# lost; failures and bad options reported), which must not be skipped here,
# then the README command itself, briefly.
set -euo pipefail
cd "$(dirname "$0")/../.."
source tools/redis.sh
ensure_redis_server
PEMU_REQUIRE_REDIS=1 bash tools/test.sh -q tests/test_pipeline.py
PEMU_SKIP_BUILD=1 bash tools/demo.sh --frames 45 --fps 30 --quiet
