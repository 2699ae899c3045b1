#!/usr/bin/env bash
# Builds the module into its virtual environment and runs the benchmark;
# arguments go to bench/bench.py (e.g. --scaling, or pyperf's --fast).
source "$(dirname "$0")/env.sh"
"$vpy" -m pip install -q -r "$repo/requirements-bench.txt"
exec "$vpy" "$repo/bench/bench.py" "$@"
