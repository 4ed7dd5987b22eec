#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer, ASan, UBSan) and runs each
# parser's fuzz target for a short time from its seed corpus. Fails on any
# finding; the crashing input is kept in build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds="${FUZZ_SECONDS:-20}"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "${FUZZ_JOBS:-2}"

findings=build-fuzz/findings
mkdir -p "$findings"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in operational_state device_path_id parent_instance_name; do
  echo "fuzz_${target}: ${seconds} s"
  mkdir -p "$work/$target"
  # New inputs go to the scratch directory; the committed seeds stay as they are.
  build-fuzz/tests/fuzz/fuzz_${target} -max_total_time="$seconds" -max_len=12000 -print_final_stats=1 \
    -artifact_prefix="$findings/${target}-" "$work/$target" "tests/fuzz/corpus/$target"
done
