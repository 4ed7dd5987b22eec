#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan, UBSan) and runs each for
# a short time from its seed corpus in corpus/TARGET/; every seed is run
# first, so a seed that once crashed a parser guards its fix. Fails on any
# finding; the crashing input is kept in build-fuzz/findings/.
#   FUZZ_SECONDS  seconds per target (default 8)
#   FUZZ_JOBS     build jobs (default 2)
#   FUZZ_TARGETS  the targets to run (default: every directory of corpus/)
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds="${FUZZ_SECONDS:-8}"
targets="${FUZZ_TARGETS:-$(ls tests/fuzz/corpus)}"
cmake --preset fuzz >/dev/null
# shellcheck disable=SC2046  # one word per target
cmake --build --preset fuzz -j "${FUZZ_JOBS:-2}" --target $(printf 'fuzz_%s ' $targets)

findings=build-fuzz/findings
mkdir -p "$findings"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in $targets; do
  echo "fuzz_${target}: ${seconds} s"
  mkdir -p "$work/$target"
  # New inputs go to the scratch directory; the committed seeds stay as they are.
  build-fuzz/tests/fuzz/fuzz_${target} -max_total_time="$seconds" -max_len=12000 -timeout=10 -rss_limit_mb=1024 \
    -print_final_stats=1 -artifact_prefix="$findings/${target}-" "$work/$target" "tests/fuzz/corpus/$target"
done
