#!/usr/bin/env bash
# The pipeline demo: builds the module into its virtual environment, makes
# sure redis-server is there (unless --redis names a server), and runs a
# camera stage, a detector stage and a sink over Redis.  Arguments go to the
# demo; --help lists them.
source "$(dirname "$0")/env.sh"
source "$repo/tools/redis.sh"
need_server=1
for arg in "$@"; do
  case "$arg" in
    --redis|--redis=*|-h|--help) need_server= ;;
  esac
done
[ -z "$need_server" ] || ensure_redis_server
# From examples/, so that "-m" finds the demo there and the module in the
# environment (the source tree beside it has no built module).
cd "$repo/examples"
exec "$vpy" -m pipeline "$@"
