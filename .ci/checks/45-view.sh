#!/usr/bin/env bash
# The live view on CPython 3.7 against a real redis-server: its stream over
# HTTP (JPEG frames, the newest first, at a bounded rate), a viewer that
# never reads (dropped, the sink never held), the pixels sent only while
# asked, the picture of a recorded file, and the page in headless Chromium
# (Debian's chromium and chromium-driver, installed when missing and this
# runs as root; Selenium comes with requirements-dev.txt).  None of these
# tests may be skipped here.
set -euo pipefail
cd "$(dirname "$0")/../.."
source tools/redis.sh
ensure_redis_server
if ! command -v chromium >/dev/null 2>&1 || ! command -v chromedriver >/dev/null 2>&1; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "== installing chromium and chromium-driver (Debian packages)" >&2
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium chromium-driver >&2
  else
    echo "error: chromium or chromedriver is missing: run" \
         "'sudo apt-get install chromium chromium-driver'" >&2
    exit 1
  fi
fi
PEMU_REQUIRE_REDIS=1 PEMU_REQUIRE_BROWSER=1 bash tools/test.sh -q tests/test_pipeline_view.py
