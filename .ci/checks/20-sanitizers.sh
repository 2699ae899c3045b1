#!/usr/bin/env bash
# The whole test suite against a build of the module with AddressSanitizer
# and UndefinedBehaviorSanitizer (CMake option PEMU_SANITIZE).  The
# interpreter is not instrumented: libasan is preloaded so that it comes
# first (with libstdc++ beside it: the interpreter is C, and ASan must find
# the C++ runtime's __cxa_throw when it starts), and PYTHONMALLOC=malloc
# sends every object allocation through the sanitizer's malloc, so an
# overrun or a use after free of an object is seen.
#
# Leak detection is off (detect_leaks=0): the interpreter keeps much of what
# it allocates until exit, which LeakSanitizer would report.  What the module
# may leak per call is checked by tests/test_leaks.py (reference counts and
# tracemalloc), which runs here too.  Any sanitizer report fails the run: the
# first one aborts the process, and the reports are also written to files
# that are checked afterwards.
#   PYTHON=/path/to/python   use that interpreter instead of pyenv's 3.7.16
#   extra arguments go to pytest
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
cd "$repo"

if [ -z "${PYTHON:-}" ]; then
  PYTHON="$(pyenv prefix 3.7.16)/bin/python3.7"
fi
pyver=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
venv="$repo/.venv-asan-$pyver"
if [ ! -x "$venv/bin/python" ]; then
  "$PYTHON" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
fi
# This repository's distribution before the split into the module and the
# stand-in codec was named pemu-sdk; it owned the codec's files.
if grep -qs '^Summary: Payload envelopes for frames' \
     "$venv"/lib/python*/site-packages/pemu_sdk-0.1.0.dist-info/METADATA; then
  "$venv/bin/python" -m pip uninstall -q -y pemu-sdk
fi
"$venv/bin/python" -m pip install -q -r requirements-dev.txt
"$venv/bin/python" -m pip install -q --no-build-isolation --no-deps ./stand-in ./ports
echo "== building the extension module with ASan and UBSan" >&2
"$venv/bin/python" -m pip install -q --no-build-isolation --no-deps \
  -C cmake.define.PEMU_SANITIZE=ON -C cmake.define.PEMU_WERROR=ON \
  -C cmake.build-type=RelWithDebInfo -C "build-dir=build/asan/{wheel_tag}" .

libasan=$(g++ -print-file-name=libasan.so)
libstdcxx=$(g++ -print-file-name=libstdc++.so)
for lib in "$libasan" "$libstdcxx"; do
  [ -e "$lib" ] || { echo "error: $lib not found" >&2; exit 2; }
done
reports="$repo/build/asan/reports"
rm -rf "$reports" && mkdir -p "$reports"

sanitized() {
  env LD_PRELOAD="$libasan $libstdcxx" PYTHONMALLOC=malloc PEMU_SANITIZED=1 \
    ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:log_path=$reports/asan" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan" \
    "$@"
}

# The build really is instrumented, and the set-up really reports: an
# overrun of an object's buffer must abort with a report.
so=$(find "$venv/lib" -path "*/pemu_sdk/redis/pemu_data*.so" | head -n 1)
symbols=$(nm -D --undefined-only "$so")
for symbol in __asan_report_load8 __ubsan_handle; do
  grep -q "$symbol" <<<"$symbols" \
    || { echo "error: $so is not instrumented ($symbol)" >&2; exit 1; }
done
overrun='import ctypes
buffer = ctypes.create_string_buffer(64)
ctypes.string_at(ctypes.addressof(buffer), 4096)'
if sanitized "$venv/bin/python" -c "$overrun" 2>/dev/null \
   || ! compgen -G "$reports/asan*" >/dev/null; then
  echo "error: the sanitizer set-up does not report an overrun" >&2
  exit 1
fi
rm -f "$reports"/*

status=0
sanitized "$venv/bin/pytest" -q -p no:cacheprovider "$@" || status=$?

if compgen -G "$reports/*" >/dev/null; then
  echo "error: sanitizer reports:" >&2
  cat "$reports"/* >&2
  exit 1
fi
exit "$status"
