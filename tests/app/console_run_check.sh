#!/usr/bin/env bash
# fenra on a new machine, from a shell: the machine is set up for a first
# look, each event-log record is shown as it is written, and SIGTERM stops
# the service even when FENRA.exe's command line ends in no command word
# ("-Service -x" runs it, as it would on Windows).
# Usage: console_run_check.sh FENRA
set -euo pipefail
fenra=$1
dir=$(mktemp -d)
trap 'kill -KILL "$pid" 2>/dev/null || true; rm -rf "$dir"' EXIT
"$fenra" --machine "$dir/m" -Service -x >"$dir/out" 2>"$dir/err" &
pid=$!
for _ in $(seq 300); do
  grep -q "The FENRA service has started." "$dir/out" && break
  sleep 0.1
done
fail() { echo "console run: $1" >&2; cat "$dir/err" "$dir/out" >&2; exit 1; }
kill -TERM "$pid"
for _ in $(seq 300); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$pid" 2>/dev/null && fail "still running 30 s after SIGTERM"
status=0
wait "$pid" || status=$?
[ "$status" = 0 ] || fail "exit status $status after SIGTERM, expected 0"
grep -q "set up for a first look" "$dir/err" || fail "no first-look set-up"
grep -q "SIMPLEX_FILTER_TIME=0" "$dir/m/drive_c/Windows/system32/FENRA.ini" || fail "FENRA.ini keeps a start-up delay"
grep -Eq "^[0-9-]{10} [0-9:]{8}  QVMZUFT  1  information$" "$dir/out" || fail "no start record"
grep -Eq "^[0-9-]{10} [0-9:]{8}  QVMZUFT  2  information$" "$dir/out" || fail "no stop record"
echo "console run: first look, start and stop records shown, stopped by SIGTERM"
