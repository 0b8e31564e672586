#!/bin/bash
# Runs one fuzz target of the fuzz tree from a fixed seed, so the suite's run is repeatable.
#   tests/fuzz/run.sh TARGET SEEDER RUNS TIME MAX_LEN
# SEEDER is a script that writes seed inputs into the folder it is given ("-" for none); RUNS and
# TIME bound the run (0: no bound of that kind).  FUZZ_SEED, FUZZ_RUNS and FUZZ_TIME override them to
# explore by hand; FUZZ_OUT keeps the corpus and any crash there.
set -euo pipefail
target=${1:?usage: run.sh TARGET SEEDER RUNS TIME MAX_LEN}
seeder=$2
runs=${FUZZ_RUNS:-$3}
secs=${FUZZ_TIME:-$4}
max_len=$5
[ -x "$target" ] || { echo "SKIP: $target not built (no fuzz tree)"; exit 77; }
name=$(basename "$target")
if [ -n "${FUZZ_OUT:-}" ]; then
	out=$FUZZ_OUT/$name
	mkdir -p "$out"
else
	out=$(mktemp -d)
	trap 'rm -rf "$out"' EXIT
fi
mkdir -p "$out/corpus" "$out/seeds"
[ "$seeder" = - ] || python3 "$seeder" "$out/seeds"
args=(-seed="${FUZZ_SEED:-1}" -timeout=10 -print_final_stats=1 -close_fd_mask=3 -artifact_prefix="$out/")
[ "$runs" -gt 0 ] && args+=(-runs="$runs")
[ "$secs" -gt 0 ] && args+=(-max_total_time="$secs")
[ "$max_len" -gt 0 ] && args+=(-max_len="$max_len")
"$target" "${args[@]}" "$out/corpus" "$out/seeds" 2>"$out/run.log" || { tail -60 "$out/run.log"; exit 1; }
grep -E "stat::number_of_executed_units|Done [0-9]+ runs" "$out/run.log" | sed "s/^/$name: /"
