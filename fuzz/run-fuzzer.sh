#!/usr/bin/env bash
# Replays a fuzzer's kept regression inputs, then fuzzes it for a bounded time from its seed
# corpus (new inputs go to a working corpus in the build directory, never into the sources).
#   run-fuzzer.sh <seconds> <fuzzer> <name> <fuzz source dir> <work dir> [libFuzzer flags…]
# A crash leaves its input in <work dir>/artifacts; keep it under regressions/<name>/ once fixed.
set -euo pipefail
seconds=$1 fuzzer=$2 name=$3 sources=$4 work=$5
shift 5

mkdir -p "$work/corpus" "$work/artifacts"
flags=(-artifact_prefix="$work/artifacts/" -timeout=20 -rss_limit_mb=4096 "$@")
dictionary="$sources/dictionaries/$name.dict"
[[ -f $dictionary ]] && flags+=(-dict="$dictionary")

regressions=("$sources/regressions/$name"/*)
if [[ -e ${regressions[0]} ]]; then
    echo "== $name: replaying ${#regressions[@]} regression inputs"
    "$fuzzer" "${flags[@]}" "${regressions[@]}"
fi

echo "== $name: fuzzing for ${seconds}s"
log="$work/last-run.log"
status=0
"$fuzzer" "${flags[@]}" -max_total_time="$seconds" -print_final_stats=1 \
    "$work/corpus" "$sources/corpus/$name" >"$log" 2>&1 || status=$?
if [[ $status -ne 0 ]]; then
    tail -n 60 "$log"
    echo "== $name: FAILED (exit $status); the input is in $work/artifacts" >&2
    exit "$status"
fi
executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1)
echo "== $name: ${executions:-?} executions in ${seconds}s, ${coverage:-cov: ?}, corpus $(ls "$work/corpus" | wc -l) new + $(ls "$sources/corpus/$name" | wc -l) seeds"
