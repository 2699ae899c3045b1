#!/usr/bin/env bash
# The test suite on every newer CPython that pyenv holds (3.8 to 3.13), each
# in its own virtual environment with the module built for it, warnings as
# errors.  redis-server is installed first so that the pipeline tests run
# everywhere instead of being skipped.  Then a plain `pip install . ./stand-in`
# (build isolation, no extra options) on the newest, the way a user without
# the SDK installs the module and the stand-in codec.
set -euo pipefail
cd "$(dirname "$0")/../.."
source tools/redis.sh
ensure_redis_server
export PEMU_REQUIRE_REDIS=1

versions="3.8.18 3.9.18 3.10.13 3.11.7 3.12.1 3.13.0"
failed=
for version in $versions; do
  minor=${version%.*}
  prefix=$(pyenv prefix "$version")
  echo "== the test suite on CPython $version"
  started=$SECONDS
  if ! PYTHON="$prefix/bin/python$minor" bash tools/test.sh -q; then
    failed="$failed $version"
  fi
  echo "== CPython $version took $((SECONDS - started)) s"
done

newest=${versions##* }
echo "== pip install . ./stand-in on CPython $newest"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$(pyenv prefix "$newest")/bin/python${newest%.*}" -m venv "$scratch/venv"
"$scratch/venv/bin/python" -m pip install -q . ./stand-in
(cd "$scratch" && venv/bin/python -c 'import pemu_sdk.redis.pemu_data as m; print("imported", m.__file__)')

if [ -n "$failed" ]; then
  echo "error: the test suite failed on:$failed" >&2
  exit 1
fi
