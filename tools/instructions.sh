#!/usr/bin/env bash
# Instructions per parse of each payload shape, counted by callgrind (which
# a busy machine does not disturb): ours from the bytes, and the fastest JSON
# library's loads followed by parse_pemu_data(dict).  Each figure is the
# difference between a run of COUNT+10 parses and one of 10 (after 20 to warm up), over COUNT, with
# hash randomisation and address randomisation off.
#   bash tools/instructions.sh [SHAPE ...]     (default: every shape)
#   COUNT=200  ROUTES="bytes orjson"           (json: json.loads first)
source "$(dirname "$0")/env.sh"
"$vpy" -m pip install -q -r "$repo/requirements-bench.txt"
count=${COUNT:-200}
routes=${ROUTES:-bytes orjson}
if [ $# -eq 0 ]; then
  mapfile -t shapes < <("$vpy" -c "import sys; sys.path.insert(0, '$repo/bench')
import payloads; print('\n'.join(name for name, _ in payloads.SHAPES))")
else
  shapes=("$@")
fi
collected() {  # the instructions of one run: shape route count
  PYTHONHASHSEED=0 setarch "$(uname -m)" -R valgrind --tool=callgrind \
    --callgrind-out-file=/dev/null "$vpy" "$repo/bench/instructions.py" "$@" 2>&1 \
    | sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
printf '%-34s %-8s %14s\n' shape route "instr/parse"
for shape in "${shapes[@]}"; do
  for route in $routes; do
    base=$(collected "$shape" "$route" 10)
    more=$(collected "$shape" "$route" $((count + 10)))
    printf '%-34s %-8s %14d\n' "$shape" "$route" $(((more - base) / count))
  done
done
