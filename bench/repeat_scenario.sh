#!/usr/bin/env bash
# Runs a scenario N times (default 20) with fenra-sim --json --trace, each on
# a machine of its own, and checks that every run gives the same output and
# the same machine files.
#   bench/repeat_scenario.sh [SCENARIO] [N]
set -euo pipefail
cd "$(dirname "$0")/.."
scenario=${1:-bench/day_module_pulled.scn}
runs=${2:-20}
sim=${FENRA_SIM:-build/fenra-sim}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for i in $(seq 1 "$runs"); do
  "$sim" --json --trace --machine "$work/machine$i" "$scenario" >"$work/out$i.jsonl"
  # The machine's files, by content (the directory name differs per run).
  (cd "$work/machine$i" && find . -type f | sort | xargs sha256sum) >"$work/files$i"
done
for i in $(seq 2 "$runs"); do
  cmp -s "$work/out1.jsonl" "$work/out$i.jsonl" || { echo "run $i: output differs from run 1"; exit 1; }
  cmp -s "$work/files1" "$work/files$i" || { echo "run $i: machine files differ from run 1"; diff "$work/files1" "$work/files$i"; exit 1; }
done
echo "$runs runs of $scenario: identical output ($(wc -l <"$work/out1.jsonl") lines, $(sha256sum <"$work/out1.jsonl" | cut -c1-16)) and identical machine files"
