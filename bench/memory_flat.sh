#!/usr/bin/env bash
# The memory of a long run through fenra-sim does not grow with its events
# when their trace lines are not asked for: the observations are printed as
# they happen and not kept.
#
# Runs fenra-sim (text output to /dev/null) on generated scenarios of DAYS
# simulated days (default 30): idle (the floor), and with EVENTS state
# changes (default 1000 a day), CPU module 0 going SIMPLEX and DUPLEX in
# turn, evenly spread; then, for the comparison, the same events over a
# single day. Prints each run's peak resident memory (GNU time's %M) and
# CPU time.
#
# usage: bench/memory_flat.sh [DAYS] [EVENTS_PER_DAY]    environment: FENRA_SIM (default build/fenra-sim)
set -euo pipefail
days=${1:-30}
per_day=${2:-1000}
root=$(cd "$(dirname "$0")/.." && pwd)
sim=${FENRA_SIM:-$root/build/fenra-sim}
work=$(mktemp -d /tmp/fenra-memory.XXXXXX)
trap 'rm -rf "$work"' EXIT

# scenario FILE DAYS EVENTS
scenario() {
  awk -v days="$2" -v events="$3" 'BEGIN {
    print "ini FENRA.ini MODE SIMPLEX_FILTER_TIME 0"
    print "module DOD_CPUBoard 0 DUPLEX"
    print "module DOD_CPUBoard 1 DUPLEX"
    print "0:00:00 start"
    first = 600; span = days * 86400 - first - 600
    for (i = 0; i < events; i++) {
      t = first + int(i * span / events)
      printf "%d:%02d:%02d state DOD_CPUBoard 0 %s\n", t / 3600, t / 60 % 60, t % 60, i % 2 == 0 ? "SIMPLEX" : "DUPLEX"
    }
    printf "%d:00:00 end\n", days * 24
  }' >"$1"
}

measure() {
  local name=$1 file=$2
  /usr/bin/time -f "%M %U %S" -o "$work/time" "$sim" "$file" >/dev/null
  read -r kib user sys <"$work/time"
  awk -v n="$name" -v k="$kib" -v u="$user" -v s="$sys" \
    'BEGIN { printf "%-40s %7.1f MiB peak resident  %6.1f CPU s\n", n, k / 1024, u + s }'
}

scenario "$work/idle.scn" "$days" 0
scenario "$work/events.scn" "$days" $((days * per_day))
scenario "$work/day.scn" 1 "$per_day"
measure "$days days idle (floor)" "$work/idle.scn"
measure "$days days, $((days * per_day)) events" "$work/events.scn"
measure "1 day, $per_day events" "$work/day.scn"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
