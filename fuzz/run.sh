#!/usr/bin/env bash
# Builds the command-line fuzzer and runs it for the given number of seconds (default 60), or with
# "forever" until it finds something or is stopped. Fails on any finding.
#   fuzz/run.sh [seconds|forever] [extra libFuzzer options...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
scripts/deps.sh build fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target wdtctl_fuzzer >/dev/null
work=build/fuzz/corpus
mkdir -p "$work" build/fuzz/findings
limit=()
[ "$seconds" = forever ] || limit=(-max_total_time="$seconds")
# New inputs go to the scratch corpus; the seeds in the repository are only read. A finding exits
# with 1: libFuzzer's own 77 would read as a stage that could not run.
exec build/fuzz/fuzz/wdtctl_fuzzer "$work" fuzz/corpus -dict=fuzz/wdtctl.dict -max_len=4096 \
    -artifact_prefix=build/fuzz/findings/ -print_final_stats=1 -error_exitcode=1 -timeout_exitcode=1 \
    "${limit[@]}" "$@"
