#!/usr/bin/env bash
# The pipeline demo: builds the module into its virtual environment, makes
# sure redis-server is there (unless --redis names a server), and runs a
# camera stage, a detector stage and a sink over Redis.  Arguments go to the
# demo; --help lists them.  Without --redis, the environment's REDIS_URL names
# the server when set.
# Relative paths among the arguments are the caller's: the demo takes them
# from this folder (it runs from examples/, below).
export PEMU_DEMO_FOLDER="$PWD"
source "$(dirname "$0")/env.sh"
source "$repo/tools/redis.sh"
need_server=1
[ -z "${REDIS_URL:-}" ] || need_server=
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
