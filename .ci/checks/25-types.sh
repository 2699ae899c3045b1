#!/usr/bin/env bash
# Type checks of code that uses the module: the README's example, a typed
# usage file, the pipeline ports (ports/pemu_ports), the example of
# docs/ports.md and the pipeline demo, under mypy 1.4.1 on CPython 3.7, the current mypy on 3.13 and
# basedpyright, with no casts and no ignores; and a misspelt keyword must be
# reported.  To check more code, add its path to the list.
set -euo pipefail
cd "$(dirname "$0")/../.."
bash tools/typecheck.sh \
  README.md \
  tests/typecheck/usage.py \
  ports/pemu_ports \
  docs/ports.md \
  examples/pipeline
