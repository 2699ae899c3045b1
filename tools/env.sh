# Sourced by the other tools: picks the interpreter, makes its virtual
# environment, fills it (the pinned requirements and the stand-in codec in
# stand-in/) and builds the module into it.
#   PYTHON=/path/to/python   use that interpreter instead of pyenv's 3.7.16
#   PEMU_SKIP_BUILD=1        reuse the module already built in the environment
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

if [ -z "${PYTHON:-}" ]; then
  if prefix=$(pyenv prefix 3.7.16 2>/dev/null) && [ -x "$prefix/bin/python3.7" ]; then
    PYTHON="$prefix/bin/python3.7"
  elif command -v python3.7 >/dev/null 2>&1; then
    PYTHON=$(command -v python3.7)
  else
    echo "error: no CPython 3.7 found (pyenv prefix 3.7.16 failed); set PYTHON=/path/to/python" >&2
    exit 2
  fi
fi

pyver=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
venv="$repo/.venv-$pyver"
if [ ! -x "$venv/bin/python" ]; then
  echo "== creating $venv with $PYTHON" >&2
  "$PYTHON" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
fi
vpy="$venv/bin/python"

# This repository's distribution before the split into the module and the
# stand-in codec was named pemu-sdk; it owned the codec's files.
if grep -qs '^Summary: Payload envelopes for frames' \
     "$venv"/lib/python*/site-packages/pemu_sdk-0.1.0.dist-info/METADATA; then
  "$vpy" -m pip uninstall -q -y pemu-sdk
fi
"$vpy" -m pip install -q -r "$repo/requirements-dev.txt"
"$vpy" -m pip install -q --no-build-isolation --no-deps "$repo/stand-in"
if [ -z "${PEMU_SKIP_BUILD:-}" ]; then
  echo "== building the extension module for Python $pyver" >&2
  "$vpy" -m pip install -q --no-build-isolation --no-deps \
    -C cmake.define.PEMU_WERROR=ON "$repo"
fi
