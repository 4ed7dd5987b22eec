#!/usr/bin/env bash
# fenra-sim --timeline on the example scenarios: the SVG is well-formed XML
# and draws what the run did, with the rules behind each timer on its bar.
# (Every scenario's pair rows and labels are also held to its run by
# fenra_scenario_check.)
# Usage: timeline_check.sh FENRA_SIM SCENARIO_DIR
set -euo pipefail
sim=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

count() { xmllint --xpath "count($1)" "$out/run.svg"; }
expect() {
  local got
  got=$(count "$2")
  [ "$got" = "$3" ] || { echo "timeline of $scenario: $1: $got, expected $3" >&2; exit 1; }
}
el() { echo "//*[local-name()='$1']"; }
title="*[local-name()='title']"
draw() {
  scenario=$1
  "$sim" --json --timeline "$out/run.svg" "$scenario" >"$out/run.jsonl"
  xmllint --noout "$out/run.svg"
}
row() { echo "$(el g)[@class='row'][*[local-name()='text'][1]='$1']"; }

# A module pulled: the run's marks, the default threshold named on the bar,
# Japanese faces named, both kinds of alert in the legend.
draw "$2/module_pulled.scn"
pulses=$(grep -c '"kind": "pulse"' "$out/run.jsonl")
expect "module rows" "$(el text)[.='CPU module 0' or .='CPU module 1']" 2
expect "CPU module 1 REMOVED" \
  "$(row 'CPU module 1')/*[local-name()='rect'][starts-with($title, 'REMOVED from 0:03:04')][contains($title, 'state DOD_CPUBoard 1 REMOVED')]" 1
expect "CPU pair SIMPLEX as the monitor sees it" \
  "$(row 'CPU pair, as the monitor sees it')/*[@data-state='SIMPLEX'][@data-from='184100']" 1
expect "SIMPLEX timer that ran out" \
  "$(el rect)[@class='timer'][contains($title, 'CPU SIMPLEX timer (TimerThread 0)')][contains($title, 'Ran out at 0:33:04.200')]" 1
expect "the generation-0 default on the bar" "$(el text)[@class='label'][.='1800 s: short threshold, generation-0 default']" 1
expect "the timer's limit" "$(el line)[@class='limit']" 1
expect "the SIMPLEX alert with its text" "$(el g)[@class='alert'][contains($title, 'CPU Module changed to SIMPLEX state.')]" 1
expect "start and stop records" "$(el circle)[@class='record']" 2
expect "pulses" "$(el line)[@class='pulse']" "$pulses"
expect "the DUPLEX (information) alert in the legend" "$(el g)[@class='legend']/*[local-name()='path'][@fill='#1565c0']" 1
grep -q "font-family=\"[^\"]*'Noto Sans CJK JP'" "$out/run.svg" || { echo "timeline: no CJK face named" >&2; exit 1; }

# The same with one WMI connection failing: the fault's mark, the monitor's
# end as an error record, and the stop record beside the alert, not on it.
sed 's/^0:03:04 state DOD_CPUBoard 0 SIMPLEX$/&\n0:20:00 wmi-fault proxy-blanket 1/' "$2/module_pulled.scn" >"$out/fault.scn"
draw "$out/fault.scn"
expect "the WMI fault" "$(row 'WMI faults')/*[local-name()='path'][@class='fault'][contains($title, 'CoSetProxyBlanket')]" 1
expect "the monitor's end as an error" "$(el circle)[@class='record'][@fill='#c62828']" 1
expect "no record on the alert" "$(el circle)[@class='record'][@cx = $(el g)[@class='alert']/*[local-name()='line']/@x1]" 0

# A recurrence: the line that explains the 20 s belongs to the second
# SIMPLEX timer, which names the SimplexDate it counted from; its limit's
# line is where the alert it caused is; the first timer's hover text holds
# only its own lines, those written after it ran out included.
draw "$2/recurrence.scn"
timer="$(el rect)[@class='timer']"
expect "timers that explain a recurrence" "$timer[contains($title, 'SIMP----->SIMP')]" 1
expect "the 20-s timer holds its explanation" \
  "$timer[contains($title, 'SIMP----->SIMP')][contains($title, 'from SimplexDate 2026-12-03 08:10, within its long threshold (129600 min)')]" 1
expect "a line after the first timer ran out is still its own" \
  "$timer[contains($title, 'Limit time = 1800 sec')][contains($title, 'Create EventLogOut')]" 1
expect "no timer holds a start line of another" \
  "$timer[contains($title, 'Limit time = 20 sec') and contains($title, 'Limit time = 1800 sec')]" 0
expect "the rule on the bar" "$(el text)[@class='label'][.='20 s: within the long threshold of SimplexDate 2026-12-03 08:10']" 1
expect "the 20-s limit at its alert" \
  "$(el line)[@class='limit'][@x1 = $(el g)[@class='alert'][contains($title, '11:10:20')]/*[local-name()='line']/@x1]" 1
expect "a restart's stop and start records apart" \
  "$(el circle)[@class='record'][@cx = preceding::*[local-name()='circle'][@class='record']/@cx]" 0

# A PCI flap: both DUPLEX timers are labelled, the second (whose cancel
# lets the SIMPLEX alert through) too; a timer cancelled before its limit
# 5 s before its limit is dashed only over those 5 s; hover texts are
# sentences.
draw "$2/pci_flap.scn"
expect "labels of the DUPLEX timers" "$(row 'PCI DUPLEX timer')/*[local-name()='text'][@class='label']" 2
expect "dashes over the 5 s not run only" "$(el rect)[@class='not-run'][@stroke='#ffa726'][@width < 2]" 1
expect "a SIMPLEX timer cancelled by its DUPLEX timer says so" \
  "$timer[contains($title, 'Cancelled by the DUPLEX timer at 0:14:55.200')]" 1
expect "a DUPLEX timer cancelled by a new loss says so" "$timer[contains($title, 'Cancelled by the timer manager at 1:22:01.200')]" 1
echo "timeline: the examples draw their rows, rules, faults, records and legend"
