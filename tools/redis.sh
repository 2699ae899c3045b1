# Sourced by the tools that need Debian's redis-server: installs it when it
# is missing and this runs as root, else says how to get it.
ensure_redis_server() {
  if command -v redis-server >/dev/null 2>&1 || [ -x /usr/sbin/redis-server ] || [ -x /usr/bin/redis-server ]; then
    return 0
  fi
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "== installing redis-server (Debian package)" >&2
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq redis-server >&2
  else
    echo "error: redis-server is missing: run 'sudo apt-get install redis-server'," \
         "or give an existing server with --redis URL" >&2
    return 1
  fi
}
