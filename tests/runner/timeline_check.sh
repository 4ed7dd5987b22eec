#!/usr/bin/env bash
# fenra-sim --timeline on a known scenario: the SVG is well-formed XML and
# holds what the run did (module pulled, CPU SIMPLEX timer of 30 minutes
# running out, the SIMPLEX alert with its text, the start and stop records,
# every pulse of the run).
# Usage: timeline_check.sh FENRA_SIM SCENARIO_DIR
set -euo pipefail
sim=$1
scenario=$2/module_pulled.scn
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$sim" --json --timeline "$out/run.svg" "$scenario" >"$out/run.jsonl"
xmllint --noout "$out/run.svg"

count() { xmllint --xpath "count($1)" "$out/run.svg"; }
expect() {
  local got
  got=$(count "$2")
  [ "$got" = "$3" ] || { echo "timeline: $1: $got, expected $3" >&2; exit 1; }
}
el() { echo "//*[local-name()='$1']"; }
title="*[local-name()='title']"
pulses=$(grep -c '"kind": "pulse"' "$out/run.jsonl")
expect "module rows" "$(el text)[.='CPU module 0' or .='CPU module 1']" 2
expect "CPU module 1 REMOVED" "$(el rect)[@class='state'][starts-with($title, 'state DOD_CPUBoard 1 REMOVED')]" 1
expect "CPU pair SIMPLEX as the monitor sees it" "$(el rect)[@class='state'][starts-with($title, 'SIMPLEX from 0:03:04')]" 1
expect "SIMPLEX timer that ran out" \
  "$(el rect)[@class='timer'][contains($title, 'CPU SIMPLEX timer (TimerThread 0)') and contains($title, 'limit 1800 s; ran out')]" 1
expect "the timer's limit" "$(el line)[@class='limit']" 1
expect "the SIMPLEX alert with its text" "$(el g)[@class='alert'][contains($title, 'CPU Module changed to SIMPLEX state.')]" 1
expect "start and stop records" "$(el circle)[@class='record']" 2
expect "pulses" "$(el line)[@class='pulse']" "$pulses"
echo "timeline of $scenario: well-formed, with its modules, pair, timer, alert, records and $pulses pulses"

# A recurrence: the line that explains the 20 s belongs to the second
# SIMPLEX timer, which says its rule on the bar; the first timer's hover
# text holds only its own lines, those written after it ran out included.
scenario=$2/recurrence.scn
"$sim" --timeline "$out/run.svg" "$scenario" >/dev/null
xmllint --noout "$out/run.svg"
timer="$(el rect)[@class='timer']"
expect "timers that explain a recurrence" "$timer[contains($title, 'SIMP----->SIMP')]" 1
expect "the 20-s timer holds its explanation" \
  "$timer[contains($title, 'SIMP----->SIMP')][contains($title, 'limit 20 s: within the long threshold')]" 1
expect "a line after the first timer ran out is still its own" \
  "$timer[contains($title, 'Limit time = 1800 sec')][contains($title, 'Create EventLogOut')]" 1
expect "no timer holds a start line of another" \
  "$timer[contains($title, 'Limit time = 20 sec') and contains($title, 'Limit time = 1800 sec')]" 0
expect "the rule on the bar" "$(el text)[@class='label'][.='20 s: within the long threshold']" 1
expect "a restart's stop and start records apart" \
  "$(el circle)[@class='record'][@cx = preceding::*[local-name()='circle'][@class='record']/@cx]" 0
echo "timeline of $scenario: each timer holds its own lines, the 20 s says its rule"
