#!/usr/bin/env bash
# The wheelhouse as users get it: tools/wheels.sh builds it; auditwheel must
# find each of the module's wheels (one per CPython 3.7 to 3.13) consistent
# with manylinux_2_17_x86_64, and none may name libpython or carry a run path.
# Then, in fresh virtual environments of CPython 3.7 and 3.13, the wheels are
# installed without building (--only-binary :all: --no-index) beside the test
# requirements from PyPI, and the test suite runs against the installed
# module.  Left out there: the install tests (-m "not install": they build
# the tree's module with a compiler, which is what the wheel spares) and the
# pipeline tests (tests/test_pipeline*.py: the demo and the ports over Redis,
# run by 30-interpreters and 40-pipeline; they add minutes and use the module
# only as the other tests do).  The cp311 wheel also loads into Debian's
# /usr/bin/python3.11, which carries the runtime in its executable, without
# mapping a libpython; and the sdist builds with a plain `pip install`.
set -euo pipefail
cd "$(dirname "$0")/../.."
repo=$PWD
started=$SECONDS
source tools/redis.sh
ensure_redis_server

bash tools/wheels.sh
house="$repo/wheelhouse"
tools="$repo/build/wheels/tools/bin"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

echo "== auditwheel show, readelf -d" >&2
tags="cp37-cp37m cp38-cp38 cp39-cp39 cp310-cp310 cp311-cp311 cp312-cp312 cp313-cp313"
for tag in $tags; do
  wheel=$(compgen -G "$house/pemu_data-0.1.0-$tag-*manylinux_2_17_x86_64*.whl") \
    || { echo "error: no manylinux_2_17_x86_64 wheel for $tag in wheelhouse/" >&2; exit 1; }
  shown=$("$tools/auditwheel" show "$wheel" 2>&1 | tr -s ' \n' '  ')
  if ! grep -q 'is consistent with the following platform tag: "manylinux_2_17_x86_64"' <<<"$shown"; then
    echo "error: auditwheel: $shown" >&2
    exit 1
  fi
  "$tools/python" -m zipfile -e "$wheel" "$scratch/$tag"
  section=$(readelf -d "$scratch/$tag"/pemu_sdk/redis/pemu_data.*.so)
  if grep -Eq 'libpython|RUNPATH|RPATH' <<<"$section"; then
    echo "error: $(basename "$wheel") links libpython or has a run path:" >&2
    grep -E 'NEEDED|PATH' <<<"$section" >&2
    exit 1
  fi
  echo "$(basename "$wheel"): manylinux_2_17_x86_64, no libpython, no run path" >&2
done

for version in 3.7.16 3.13.0; do
  minor=${version%.*}
  echo "== the installed wheels' test suite on CPython $version" >&2
  venv="$scratch/venv-$minor"
  "$(pyenv prefix "$version")/bin/python$minor" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q -r requirements-dev.txt
  "$venv/bin/python" -m pip install -q --only-binary :all: --no-index --find-links "$house" \
    pemu-data pemu-sdk-stand-in pemu-ports
  module=$(cd "$scratch" && "$venv/bin/python" -c \
    'import pemu_sdk.redis.pemu_data as m; print(m.__file__)')
  case $module in
    "$venv"/*) ;;
    *) echo "error: the module imported is not the installed wheel's: $module" >&2; exit 1 ;;
  esac
  "$venv/bin/pytest" -q -p no:cacheprovider -m "not install" \
    --ignore-glob='tests/test_pipeline*.py' tests
done

if [ -x /usr/bin/python3.11 ]; then
  echo "== the cp311 wheel under /usr/bin/python3.11" >&2
  /usr/bin/python3.11 -m venv --without-pip "$scratch/debian"
  "$tools/python" -m pip --python "$scratch/debian/bin/python" install -q \
    --only-binary :all: --no-index --find-links "$house" pemu-data pemu-sdk-stand-in
  (cd "$scratch" && debian/bin/python -c '
import json
def libpython():
    return [line for line in open("/proc/self/maps") if "/libpython" in line]
assert not libpython(), "the interpreter runs from a shared libpython"
from pemu_sdk.redis.pemu_data import PemuData
node = {"id": "n", "type": "t", "name": "N"}
sent = json.dumps(PemuData(0, node).create_pemu_data(result=[1])).encode()
assert PemuData(0, node, node, 0).parse_pemu_data(sent)["result"] == [1]
assert not libpython(), libpython()
print("loaded and round-tripped, no libpython mapped")')
fi

echo "== pip install of the sdist on CPython 3.13" >&2
"$(pyenv prefix 3.13.0)/bin/python3.13" -m venv "$scratch/sdist"
"$scratch/sdist/bin/python" -m pip install -q "$house"/pemu_data-0.1.0.tar.gz ./stand-in
(cd "$scratch" && sdist/bin/python -c 'import pemu_sdk.redis.pemu_data as m; print("imported", m.__file__)')
echo "== the wheels' check took $((SECONDS - started)) s" >&2
