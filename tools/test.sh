#!/usr/bin/env bash
# Builds the module into a fresh or existing virtual environment and runs the
# test suite; extra arguments go to pytest.
source "$(dirname "$0")/env.sh"
cd "$repo"
# The pytest script, not "python -m pytest": the latter would put the source
# tree, which has no built module, ahead of the installed package.
exec "$venv/bin/pytest" "$@"
