#!/usr/bin/env bash
# Builds the module into its virtual environment and runs the example: frames
# published through one envelope and consumed through another.
source "$(dirname "$0")/env.sh"
exec "$vpy" "$repo/examples/roundtrip.py" "$@"
