#!/usr/bin/env bash
# Type-checks code that uses the module the way its users' checkers see it:
# the module (with its partial stubs) and the stand-in codec installed in the
# environment of CPython 3.7, checked by mypy 1.4.1 and basedpyright, and in
# the environment of CPython 3.13, checked by the current mypy and
# basedpyright (basedpyright runs on 3.13 for both, pointed at each
# environment).  The arguments are the files or folders to check; a .md file
# stands for the ```python blocks in it, each checked as a file of its own.
# Then each checker must report the misspelt keyword of
# tests/typecheck/misspelt.py, so a set-up that checks nothing fails.
#   bash tools/typecheck.sh README.md tests/typecheck/usage.py
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -eq 0 ]; then
  echo "usage: bash tools/typecheck.sh PATH... (files, folders, or .md files)" >&2
  exit 2
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
targets=()
for path in "$@"; do
  [ -e "$path" ] || { echo "error: $path does not exist" >&2; exit 2; }
  case "$path" in
    *.md)
      # README.md -> README_1.py, README_2.py, ... (blocks numbered in order)
      base=$(basename "$path" .md)
      count=$(python3 - "$path" "$scratch/$base" <<'EOF'
import re, sys
with open(sys.argv[1], encoding="utf-8") as f:
    blocks = re.findall(r"^```python\n(.*?)^```", f.read(), re.M | re.S)
for n, block in enumerate(blocks, 1):
    with open("%s_%d.py" % (sys.argv[2], n), "w", encoding="utf-8") as f:
        f.write(block)
print(len(blocks))
EOF
)
      if [ "$count" -eq 0 ]; then
        echo "error: $path holds no \`\`\`python block to check" >&2
        exit 1
      fi
      for n in $(seq "$count"); do targets+=("$scratch/${base}_$n.py"); done
      ;;
    *) targets+=("$(cd "$(dirname "$path")" && pwd)/$(basename "$path")") ;;
  esac
done

# The environments, built by env.sh (quick when they are up to date), with
# the checkers added.
environment() {
  local venv
  venv=$(PYTHON="$1" bash -c 'source "$0/tools/env.sh" && echo "$venv"' "$repo")
  "$venv/bin/python" -m pip install -q -r "$repo/requirements-types.txt" >&2
  echo "$venv"
}
venv37=$(environment "$(pyenv prefix 3.7.16)/bin/python3.7")
venv313=$(environment "$(pyenv prefix 3.13.0)/bin/python3.13")
# basedpyright in its default mode also flags what merely lacks annotations
# (unknown types from an untyped codec); "standard" keeps to type errors.
echo '{"typeCheckingMode": "standard"}' >"$scratch/pyrightconfig.json"

# Each checker as "name command...": mypy with its cache under build/.
checkers=(
  "mypy-1.4.1/3.7|$venv37/bin/mypy --cache-dir $repo/build/mypy-cache-3.7"
  "mypy/3.13|$venv313/bin/mypy --cache-dir $repo/build/mypy-cache-3.13"
  "basedpyright/3.7|$venv313/bin/basedpyright -p $scratch/pyrightconfig.json --pythonpath $venv37/bin/python --pythonversion 3.7"
  "basedpyright/3.13|$venv313/bin/basedpyright -p $scratch/pyrightconfig.json --pythonpath $venv313/bin/python"
)
# Away from the sources, so that nothing there is taken for an installed
# package.
cd "$scratch"
failed=
misspelt="$repo/tests/typecheck/misspelt.py"
want=$(grep -n '# misspelt' "$misspelt" | cut -d: -f1)
for checker in "${checkers[@]}"; do
  name=${checker%%|*}
  read -r -a command <<<"${checker#*|}"
  echo "== $name" >&2
  if ! "${command[@]}" "${targets[@]}" >&2; then
    failed="$failed $name"
  fi
  # The misspelt keyword: reported, as an error on the marked line.
  out=$("${command[@]}" "$misspelt" 2>&1) && status=0 || status=$?
  if [ "$status" -eq 0 ] || ! grep -Eq "misspelt\.py:$want(:[0-9]+)?:? .*error" <<<"$out"; then
    echo "error: $name does not report the misspelt keyword in $misspelt:$want" >&2
    echo "$out" >&2
    failed="$failed $name(misspelt)"
  fi
done
if [ -n "$failed" ]; then
  echo "error: type check failed:$failed" >&2
  exit 1
fi
echo "type check: ${#targets[@]} file(s) pass under mypy 1.4.1 (3.7), mypy (3.13) and basedpyright (3.7, 3.13)" >&2
