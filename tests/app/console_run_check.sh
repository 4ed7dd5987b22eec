#!/usr/bin/env bash
# fenra on a new machine, from a shell: the machine is set up for a first
# look, each event-log record is shown as it is written (in the machine's
# language), the hint to change
# the hardware runs as printed, and SIGTERM stops the service. A hand edit
# that breaks the hardware file is reported once. A run that loses writes
# says so: an event log
# that cannot be written at start refuses the start (exit 1), and a record
# lost later is still shown, marked, and the exit status is 1.
# Usage: console_run_check.sh FENRA
set -euo pipefail
fenra=$1
dir=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null; rm -rf "$dir"' EXIT
fail() { echo "console run: $1" >&2; cat "$dir/err" "$dir/out" >&2; exit 1; }

# Waits up to 30 s for a line matching the extended pattern $2 in file $1.
await() {
  for _ in $(seq 300); do
    grep -Eq "$2" "$1" && return
    sleep 0.1
  done
  return 1
}
# Starts fenra on machine $1 with the arguments that follow, and waits for
# its start record's header line (its text lines may follow later).
start() {
  local machine=$1
  shift
  "$fenra" --machine "$machine" "$@" >"$dir/out" 2>"$dir/err" &
  pid=$!
  await "$dir/out" "^[0-9-]{10} [0-9:]{8}  QVMZUFT  1  information$" || fail "no start record within 30 s"
}
# Sends SIGTERM and sets `status` to the exit status.
stop() {
  kill -TERM "$pid"
  for _ in $(seq 300); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && fail "still running 30 s after SIGTERM"
  status=0
  wait "$pid" || status=$?
  pid=
}

start "$dir/m"
stop
[ "$status" = 0 ] || fail "exit status $status after SIGTERM, expected 0"
grep -q "set up for a first look" "$dir/err" || fail "no first-look set-up"
grep -q "SIMPLEX_FILTER_TIME=0" "$dir/m/drive_c/Windows/system32/FENRA.ini" || fail "FENRA.ini keeps a start-up delay"
grep -Eq "^[0-9-]{10} [0-9:]{8}  QVMZUFT  1  information$" "$dir/out" || fail "no start record"
grep -Eq "^[0-9-]{10} [0-9:]{8}  QVMZUFT  2  information$" "$dir/out" || fail "no stop record"

# A Japanese machine: its records in the message file's Japanese texts.
# The event log stops taking records while the service runs: the stop
# record is shown as not stored, the end says so, the status is 1.
sed -i 's/"ui_language": "en"/"ui_language": "ja"/' "$dir/m/system.json"
start "$dir/m"
await "$dir/out" "^    FENRA サービスを開始しました。$" || fail "the start record is not in Japanese on a Japanese machine"
# The hint names the real fenra-hw, with the machine; it runs as printed.
await "$dir/err" "in another shell: " || fail "no hint to pull a module"
hint=$(sed -n 's/.*in another shell: \(.*\) pull 1, then: .*/\1/p' "$dir/err")
[ -n "$hint" ] || fail "no hint to pull a module"
eval "$hint show" | grep -q "CPU module 1: DUPLEX" || fail "the hint does not run as printed: $hint show"
# A hand edit that breaks the hardware file, saved by rename twice, is said
# once, with its place and what to write, and ignored; the mended file is
# taken back without a word.
hw=$dir/m/hardware.json
cp "$hw" "$dir/good.json"
sed '0,/"state": "DUPLEX"/s//"state": DUPLEX/' "$dir/good.json" >"$dir/bad.json"
cp "$dir/bad.json" "$dir/edit" && mv "$dir/edit" "$hw"
await "$dir/err" "hardware.json:" || fail "no report of a bad edit of hardware.json within 30 s"
cp "$dir/bad.json" "$dir/edit" && mv "$dir/edit" "$hw"
sleep 1
reports=$(grep -c "hardware.json:" "$dir/err" || true)
[ "$reports" = 1 ] || fail "$reports reports of one bad edit of hardware.json, expected 1"
grep -Eq "^fenra: .*/hardware.json:[0-9]+:[0-9]+: .*invalid literal.*; a name or a state is text in double quotes, as in \"state\": \"DUPLEX\" \(change ignored" \
  "$dir/err" || fail "the report of a bad edit does not say where and what to write"
cp "$dir/good.json" "$dir/edit" && mv "$dir/edit" "$hw"
rm "$dir/m/eventlog.jsonl"
mkdir "$dir/m/eventlog.jsonl"
stop
[ "$status" = 1 ] || fail "exit status $status after a lost record, expected 1"
grep -Eq "^[0-9-]{10} [0-9:]{8}  QVMZUFT  2  information  \(not stored\)$" "$dir/out" ||
  fail "the lost stop record is not shown as not stored"
grep -q "fenra: 1 write of this run .* failed" "$dir/err" || fail "the end does not say that a write failed"

# An event log that cannot be written at start: no start at all.
status=0
"$fenra" --machine "$dir/m" >"$dir/out" 2>"$dir/err" || status=$?
[ "$status" = 1 ] || fail "exit status $status on an event log that cannot be written, expected 1"
grep -q "^fenra: .*/eventlog.jsonl: Is a directory$" "$dir/err" || fail "no reason for the refusal"
[ ! -s "$dir/out" ] || fail "records shown although the service did not start"
echo "console run: first look, runnable hint, records shown, one report of a bad edit, stopped by SIGTERM; lost writes marked, exit 1"
