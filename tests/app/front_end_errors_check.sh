#!/usr/bin/env bash
# What the front ends say when they are given something they cannot use:
# each message starts with the program's name, names the file and the
# system's reason, escapes bytes that are not printable, says what can be
# given instead (the word meant, for a misspelt one), and the exit status is
# the one the help text lists; the help texts show what a person types.
# Usage: front_end_errors_check.sh FENRA FENRA_HW FENRA_SIM
set -euo pipefail
fenra=$1 hw=$2 sim=$3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
"$fenra" --machine m -RegServer >/dev/null 2>&1  # a machine to edit
"$fenra" --machine unregistered -UnregServer >/dev/null 2>&1
cp -r m ro && mkdir ro/hardware.json.tmp  # a machine whose hardware file cannot be replaced
touch afile
printf '\x7fELF\x02\x01\x01\0\0\0' >binary.scn
printf 'clock 2026-12-03 22:50:00\n\x1b[31mred\n0:00:00 end\n' >escape.scn
printf '0:00:00 end\n' >valid.scn
: >empty.reg
mkdir broken && cp empty.reg broken/registry.reg

failures=0
# expect STATUS STDERR-LINE COMMAND...: the whole standard error is the one
# line (a shell pattern). A command that runs the service instead of
# refusing its line is ended after 20 s (status 124).
expect() {
  local status=$1 pattern=$2 got=0
  shift 2
  timeout 20 "$@" >out 2>err || got=$?
  # shellcheck disable=SC2053
  if [ "$got" != "$status" ] || [[ "$(cat err)" != $pattern ]]; then
    echo "front-end errors: $*: status $got, expected $status; said:" >&2
    cat err >&2
    echo "  expected: $pattern" >&2
    failures=$((failures + 1))
  fi
}
expect 2 "fenra-sim: nope.scn: No such file or directory" "$sim" nope.scn
expect 2 "fenra-sim: $dir: Is a directory" "$sim" "$dir"
expect 2 "fenra-sim: binary.scn:1: not a text file (a scenario is UTF-8 text)" "$sim" binary.scn
expect 2 'fenra-sim: escape.scn:2: unknown directive "\\x1b[31mred"*' "$sim" escape.scn
expect 1 "fenra-sim: afile: Not a directory; --machine names a machine directory, made when missing" \
  "$sim" --machine afile --timeline left.svg valid.scn
[ ! -e left.svg ] || { echo "front-end errors: a failed run left its timeline file" >&2; failures=$((failures + 1)); }
expect 2 'fenra-hw: unknown command "frobnicate"; the commands are pull, insert, state and show (fenra-hw --help)' \
  "$hw" frobnicate 1
expect 2 'fenra-hw: no module "2" on this machine; its modules are 0, 1, 10, 11, 12, 13 (fenra-hw show lists them)' \
  "$hw" --machine m pull 2
expect 2 'fenra-hw: unknown state "half"; the states are EMPTY, REMOVED, *, NOT_PRESENT (any case)' \
  "$hw" --machine m state 1 half
expect 1 "fenra-hw: afile: Not a directory; a machine is a directory: make one with *fenra --machine NEWDIR" \
  "$hw" --machine afile show
expect 1 "fenra-hw: none/hardware.json: No such file or directory; a machine is made by its first run: *fenra --machine none" \
  "$hw" --machine none show
expect 1 "fenra: broken/registry.reg:1: *; restore the file from a copy, or move it away (mv broken/registry.reg broken/registry.reg.broken): the next run sets a new one up" \
  "$fenra" --machine broken
expect 2 "fenra: unknown option '--frobnicate'; fenra --help lists them" "$fenra" --machine m --frobnicate
# A word that is no command word alone starts nothing.
expect 2 'fenra: unknown command word "frobnicate"; the command words are -Service, -RegServer and -UnregServer *' \
  "$fenra" --machine m frobnicate
expect 2 'fenra: unknown command word "-Servce"; did you mean -Service?' "$fenra" --machine m -Servce
expect 2 'fenra: "extra" after the command word /RegServer: a command word stands alone' \
  "$fenra" --machine m /RegServer extra
# What to do, where the bare reason would not say it.
expect 1 "fenra: $dir/afile/.fenra/machine: cannot be made: Not a directory
fenra: the machine is \$FENRA_MACHINE, else ~/.fenra/machine; give one you may write with --machine DIR, or set FENRA_MACHINE=DIR" \
  env HOME="$dir/afile" FENRA_MACHINE= "$fenra"
expect 2 "fenra: machine unregistered *
fenra: the service FENRA is not installed on this machine (error 1060: The specified service does not exist as an installed service.); register it with: *fenra --machine unregistered -Service" \
  "$fenra" --machine unregistered --scm
expect 2 "fenra: machine unregistered *
fenra: FENRA.exe ended with exit code 2 (0x00000002): it is not registered; register it with: *fenra --machine unregistered -Service" \
  "$fenra" --machine unregistered
expect 1 "fenra-sim: ro/hardware.json.tmp: Is a directory" "$sim" --machine ro valid.scn
expect 2 "fenra-sim: --timeline /nonexistent/dir/x.svg: No such file or directory" \
  "$sim" --timeline /nonexistent/dir/x.svg valid.scn
[ ! -s out ] || { echo "front-end errors: the scenario ran before its timeline file was refused" >&2; failures=$((failures + 1)); }
expect 2 'fenra-sim: "exlpore" is neither a scenario file nor a command; did you mean explore?' "$sim" exlpore
expect 2 'fenra-hw: unknown command "pul"; did you mean pull?' "$hw" pul 1
expect 2 "Changes the simulated hardware*Usage: fenra-hw \[OPTIONS\] SUBCOMMAND*Exit status: 0 *" "$hw"
expect 2 "fenra-hw: *MODULE*is required*" "$hw" --machine m pull
expect 2 "fenra-sim: *SCENARIO*is required*" "$sim"
# The readable records are in the machine's language.
printf 'language ja\n0:00:00 start\n0:00:10 end\n' >japanese.scn
"$sim" japanese.scn | grep -q "^    FENRA サービスを停止しました。$" || {
  echo "front-end errors: fenra-sim shows a Japanese machine's stop record in another language" >&2
  failures=$((failures + 1))
}
# The help texts list the exit codes, show what a person types (no CLI11
# type names, defaults or markers) and name the explorer.
for program in "$fenra" "$hw" "$sim" "$sim explore"; do
  $program --help >help
  grep -q "^Exit status: 0 " help || [ "$program" = "$sim explore" ] || {
    echo "front-end errors: $program --help lists no exit status" >&2
    failures=$((failures + 1))
  }
  if grep -Eq "REQUIRED|\{(true|false)\}|UINT|:TEXT|TEXT:| in \[[0-9]" help; then
    echo "front-end errors: $program --help shows CLI11's markers:" >&2
    grep -E "REQUIRED|\{(true|false)\}|UINT|:TEXT|TEXT:| in \[[0-9]" help >&2
    failures=$((failures + 1))
  fi
done
"$sim" --help | grep -q "fenra-sim explore \[OPTIONS\]" || {
  echo "front-end errors: fenra-sim --help does not mention explore" >&2
  failures=$((failures + 1))
}
[ "$failures" = 0 ] || exit 1
echo "front-end errors: every message named, with its reason and its exit status"
