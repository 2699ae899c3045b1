#!/usr/bin/env bash
# Static analysis of the module's C++: clang-tidy with the checks chosen in
# .clang-tidy (every diagnostic is an error) and cppcheck.  Both come from
# Debian's packages and are installed when missing.  Any finding fails.
#   PYTHON=/path/to/python   take the C API headers of that interpreter for
#                            clang-tidy instead of pyenv's 3.7.16
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
cd "$repo"

need=()
command -v clang-tidy >/dev/null || need+=(clang-tidy)
command -v cppcheck >/dev/null || need+=(cppcheck)
[ -x /usr/bin/cmake ] || need+=(cmake)
if [ ${#need[@]} -gt 0 ]; then
  echo "== installing ${need[*]}" >&2
  apt-get update -q >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}" >/dev/null
fi

if [ -z "${PYTHON:-}" ]; then
  PYTHON="$(pyenv prefix 3.7.16)/bin/python3.7"
fi

# The compile commands of the real build, for clang-tidy.
build="$repo/build/static"
/usr/bin/cmake -S "$repo" -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DPython_EXECUTABLE="$PYTHON" >/dev/null

echo "== clang-tidy $(clang-tidy --version | sed -n 's/.*version \([0-9.]*\).*/\1/p')" >&2
status=0
# One file per process, both cores; warnings from the interpreter's headers
# are not ours and are not shown (--quiet; they are -isystem).
printf '%s\n' src/*.cpp | xargs -P "$(nproc)" -n 1 clang-tidy -p "$build" --quiet \
  2>"$build/clang-tidy.err" || status=1
grep -v ' warnings\? generated\.$' "$build/clang-tidy.err" >&2 || true

echo "== cppcheck $(cppcheck --version | cut -d' ' -f2)" >&2
# throwInNoexceptFunction: cppcheck does not see that entry() catches
# everything its body throws; clang-tidy's bugprone-exception-escape checks
# the same thing with the try blocks understood.  The interpreter's headers
# are not given to cppcheck (they stop its analysis); --library=python tells
# it the C API instead.
cppcheck --std=c++17 --language=c++ --enable=warning,performance,portability \
  --library=python --inline-suppr --error-exitcode=1 --quiet \
  -I src \
  --suppress=missingIncludeSystem --suppress=throwInNoexceptFunction \
  src/*.cpp || status=1

[ "$status" -eq 0 ] && echo "static analysis: no findings" >&2
exit "$status"
