# Sourced by the other tools: picks the interpreter, makes its virtual
# environment, fills it (the pinned requirements, the stand-in codec in
# stand-in/ and the pipeline ports in ports/) and builds the module into it.
# Each step is skipped while nothing that goes into it has changed since it
# last succeeded: stamps in the environment hold a hash of the step's inputs.
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

# The hash of the named files and of every file under the named folders
# (caches and build output left out), with their paths.
pemu_inputs_hash() {
  (cd "$repo" && find "$@" -type f ! -path '*/__pycache__/*' ! -name '*.pyc' \
     ! -path '*/build/*' ! -path '*.egg-info/*' -print0 \
   | LC_ALL=C sort -z | xargs -0 sha256sum | sha256sum | cut -c1-64)
}
requirements_stamp="$venv/.pemu-requirements.stamp"
build_stamp="$venv/.pemu-build.stamp"
interpreter="$(readlink -f "$PYTHON") $("$PYTHON" -c 'import sys; print(" ".join(sys.version.split()))')"
requirements_hash="$interpreter $(pemu_inputs_hash requirements-dev.txt stand-in ports)"
build_hash="$requirements_hash $(pemu_inputs_hash CMakeLists.txt pyproject.toml src stubs)"
stamped() { [ -f "$1" ] && [ "$(cat "$1")" = "$2" ]; }

built() {
  stamped "$build_stamp" "$build_hash" \
    && compgen -G "$venv/lib/python*/site-packages/pemu_sdk/redis/pemu_data*.so" >/dev/null
}
if stamped "$requirements_stamp" "$requirements_hash" && { [ -n "${PEMU_SKIP_BUILD:-}" ] || built; }; then
  if [ -n "${PEMU_SKIP_BUILD:-}" ]; then
    echo "== ${venv#"$repo"/}: requirements up to date, module not rebuilt (PEMU_SKIP_BUILD)" >&2
  else
    echo "== ${venv#"$repo"/} is up to date: nothing that goes into it changed since its last build" >&2
  fi
else
  if ! stamped "$requirements_stamp" "$requirements_hash"; then
    rm -f "$requirements_stamp" "$build_stamp"
    # This repository's distribution before the split into the module and
    # the stand-in codec was named pemu-sdk; it owned the codec's files.
    if grep -qs '^Summary: Payload envelopes for frames' \
         "$venv"/lib/python*/site-packages/pemu_sdk-0.1.0.dist-info/METADATA; then
      "$vpy" -m pip uninstall -q -y pemu-sdk
    fi
    "$vpy" -m pip install -q -r "$repo/requirements-dev.txt"
    "$vpy" -m pip install -q --no-build-isolation --no-deps "$repo/stand-in"
    "$vpy" -m pip install -q --no-build-isolation --no-deps "$repo/ports"
    echo "$requirements_hash" >"$requirements_stamp"
  fi
  if [ -z "${PEMU_SKIP_BUILD:-}" ]; then
    echo "== building the extension module for Python $pyver" >&2
    "$vpy" -m pip install -q --no-build-isolation --no-deps \
      -C cmake.define.PEMU_WERROR=ON "$repo"
    echo "$build_hash" >"$build_stamp"
  fi
fi
