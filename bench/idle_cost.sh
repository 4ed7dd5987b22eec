#!/usr/bin/env bash
# The idle cost of the real-time service once all its threads run, beside
# its floor (bench/idle_floor.cpp: the same polling with bare waits).
#
# Starts build/fenra on a fresh machine without start-up delay, waits until
# the third WMI thread has started (about 3 minutes), then measures it and
# the floor side by side for SECONDS (default 300): CPU seconds per hour
# (user + system, from /proc), resident memory, and wake-ups per second
# (voluntary context switches of all threads).
#
# usage: bench/idle_cost.sh [SECONDS]      environment: FENRA_BUILD (default build)
set -euo pipefail
seconds=${1:-300}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FENRA_BUILD:-$root/build}
work=$(mktemp -d /tmp/fenra-idle.XXXXXX)
pids=()
cleanup() { for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

machine=$work/machine
mkdir -p "$machine/drive_c/Windows/system32"
printf '[MODE]\r\nSIMPLEX_FILTER_TIME=0\r\n' >"$machine/drive_c/Windows/system32/FENRA.ini"
"$build/fenra" --machine "$machine" >/dev/null 2>&1 &
fenra=$!
pids+=("$fenra")
trace=$machine/drive_c/QOR/QVMAlertMan/Temp
until grep -qs 'ServiceThread\]PulseEvent' "$trace"/fenratrace*.log; do sleep 5; done
sleep 5
"$build/bench/fenra_idle_floor" &
floor=$!
pids+=("$floor")
sleep 1

# Nanoseconds on a CPU, all threads (schedstat: finer than the ticks of stat).
cpu_ns() { cat /proc/"$1"/task/*/schedstat | awk '{ n += $1 } END { printf "%.0f\n", n }'; }
switches() { cat /proc/"$1"/task/*/status | awk '/^voluntary_ctxt_switches/ { n += $2 } END { print n }'; }
rss_kib() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }

declare -A cpu0 sw0
for pid in "$fenra" "$floor"; do cpu0[$pid]=$(cpu_ns "$pid"); sw0[$pid]=$(switches "$pid"); done
sleep "$seconds"
for pid in "$fenra" "$floor"; do
  name=$([[ $pid == "$fenra" ]] && echo fenra || echo floor)
  cpu=$(( $(cpu_ns "$pid") - cpu0[$pid] ))
  sw=$(( $(switches "$pid") - sw0[$pid] ))
  awk -v n="$name" -v c="$cpu" -v s="$seconds" -v w="$sw" -v r="$(rss_kib "$pid")" \
    'BEGIN { printf "%s: %.2f CPU s per hour, %.1f wake-ups per second, %.1f MiB resident\n", n, c / 1e9 / s * 3600, w / s, r / 1024 }'
done
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
