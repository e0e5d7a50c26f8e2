#!/bin/sh
# Runs the fuzz targets of a fuzz build (-DAPCTL_FUZZ=ON): each replays its seed
# corpus, then fuzzes for the given time. New inputs and crash inputs stay in
# the build folder; the seed corpora in the repository stay small.
#   run.sh <build folder> <seconds per target> [target name]
set -u
build=$(cd "$1" && pwd)
secs=$2
only=${3:-}
src=$(cd "$(dirname "$0")" && pwd)
list=$build/fuzz/targets.txt
[ -f "$list" ] || { echo "no $list: build the fuzz_targets target first" >&2; exit 1; }

passed=0
failed=0
for name in $(cat "$list"); do
	[ -n "$only" ] && [ "$name" != "$only" ] && continue
	work=$build/fuzz-work/$name
	mkdir -p "$work/corpus" "$work/artifacts"
	set -- -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
		-artifact_prefix="$work/artifacts/"
	[ -f "$src/$name/dict" ] && set -- "$@" -dict="$src/$name/dict"
	start=$(date +%s)
	if "$build/fuzz/fuzz_$name" "$@" "$work/corpus" "$src/$name/corpus" >"$work/log" 2>&1; then
		runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
		echo "fuzz $name: ok, ${runs:-?} inputs in $(( $(date +%s) - start )) s"
		passed=$((passed + 1))
	else
		echo "fuzz $name: FAILED after $(( $(date +%s) - start )) s (log $work/log, inputs in $work/artifacts)"
		tail -n 80 "$work/log"
		failed=$((failed + 1))
	fi
done
[ $((passed + failed)) -gt 0 ] || { echo "no fuzz target named ${only:-in $list}" >&2; exit 1; }
echo "fuzz: $passed passed, $failed failed"
[ $failed -eq 0 ]
