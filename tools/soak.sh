#!/usr/bin/env bash
# A longer run of the randomized, thread and leak tests than the normal suite
# makes.  Usage:
#   bash tools/soak.sh [--asan] N        every count N times the normal one
#                                        (Hypothesis examples, threads'
#                                        iterations, leak-check rounds)
#   bash tools/soak.sh [--asan] 30m      runs at 10 times the normal counts,
#                                        again and again with new random
#                                        draws, until 30 minutes (or 90s, 2h)
#                                        have passed
# --asan runs them against the sanitizer build of .ci/checks/20-sanitizers.sh.
# Extra arguments after the count go to pytest.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

asan=
if [ "${1:-}" = "--asan" ]; then asan=1; shift; fi
amount=${1:?usage: tools/soak.sh [--asan] COUNT|DURATION (e.g. 20, 90s, 30m, 2h)}
shift
tests=(tests/test_hostile.py tests/test_properties.py tests/test_threads.py
       tests/test_leaks.py tests/test_json_decoder.py tests/test_json_numbers.py)

run() {
  if [ -n "$asan" ]; then
    PEMU_SOAK=$1 bash .ci/checks/20-sanitizers.sh "${tests[@]}" "${@:2}"
  else
    PEMU_SOAK=$1 bash tools/test.sh -q "${tests[@]}" "${@:2}"
  fi
}

case "$amount" in
  *[0-9]s) seconds=${amount%s} ;;
  *[0-9]m) seconds=$(( ${amount%m} * 60 )) ;;
  *[0-9]h) seconds=$(( ${amount%h} * 3600 )) ;;
  *[!0-9]* | "") echo "error: not a count or a duration: $amount" >&2; exit 2 ;;
  *) run "$amount" "$@"; exit ;;
esac

end=$(( $(date +%s) + seconds ))
round=1
while :; do
  echo "== soak round $round" >&2
  run 10 "$@"
  round=$(( round + 1 ))
  [ "$(date +%s)" -lt "$end" ] || break
  export PEMU_SKIP_BUILD=1  # built once, on the first round
done
