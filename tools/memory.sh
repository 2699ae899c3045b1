#!/usr/bin/env bash
# Builds the module into its virtual environment and measures what one
# envelope costs in memory; the argument is the number of envelopes made.
source "$(dirname "$0")/env.sh"
exec "$vpy" "$repo/tools/envelope_memory.py" "$@"
