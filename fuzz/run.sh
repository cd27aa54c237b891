#!/bin/sh
# run.sh FUZZER SEEDS SECONDS [CORPUS]
# Runs a libFuzzer target for SECONDS on a corpus seeded from SEEDS (the repository's seed
# folder, which is only read). Without CORPUS the corpus is a temporary folder removed
# afterwards; with it, new inputs collect there across runs. Inputs that fail are kept in
# build/fuzz-findings/. Exits non-zero on any finding.
set -eu
fuzzer=$1 seeds=$2 seconds=$3 corpus=${4:-}
name=$(basename "$fuzzer")
root=$(cd "$(dirname "$0")/.." && pwd)
findings=$root/build/fuzz-findings
mkdir -p "$findings"

if [ -z "$corpus" ]; then
    corpus=$(mktemp -d "${TMPDIR:-/tmp}/tivrel-$name.XXXXXX")
    trap 'rm -rf "$corpus"' EXIT
fi
mkdir -p "$corpus"
cp -n "$seeds"/* "$corpus"/ 2>/dev/null || true

case $name in
    number) maxlen=6 ;;
    *) maxlen=8192 ;;
esac
dict=""
[ -f "$root/fuzz/$name.dict" ] && dict="-dict=$root/fuzz/$name.dict"

log=$(mktemp "${TMPDIR:-/tmp}/tivrel-$name-log.XXXXXX")
status=0
# shellcheck disable=SC2086
"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=$maxlen \
    -print_final_stats=1 -artifact_prefix="$findings/$name-" $dict "$corpus" >"$log" 2>&1 ||
    status=$?
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
if [ $status -ne 0 ]; then
    tail -n 60 "$log"
    echo "fuzz $name: FINDING after ${runs:-?} executions; input kept in $findings/" >&2
else
    echo "fuzz $name: ${runs:-?} executions in ${seconds}s, corpus $(ls "$corpus" | wc -l) inputs, no finding"
fi
rm -f "$log"
exit $status
