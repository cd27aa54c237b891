#!/bin/sh
# Runs the benchmark programs of build/bench and prints their figures as one table, with the
# sizes of the shipped 32-bit DLLs and the machine the figures come from.
set -eu
cd "$(dirname "$0")/.."
bin=build/bench/bench
summary=$(mktemp "${TMPDIR:-/tmp}/tivrel-bench.XXXXXX")
trap 'rm -f "$summary"' EXIT
export TIVREL_BENCH_SUMMARY="$summary"

status=0
for b in bench_port bench_count bench_seam; do
    echo "== $b"
    "$bin/$b" || status=1
done

for dll in dist/win32/tivrel1.dll dist/win32/tivrel2.dll; do
    size=$(stat -c %s "$dll")
    verdict=met
    [ "$size" -le 16384 ] || verdict="NOT MET"
    printf '%-46s %16s   %-12s %s\n' "size of $dll" "$size bytes" "<= 16384" "$verdict" >>"$summary"
done

echo
echo "== summary: $(lscpu | sed -n 's/^Model name: *//p' | head -n 1), $(nproc) CPUs, Linux $(uname -r)"
printf '%-46s %16s   %-12s %s\n' "measure" "figure" "goal" ""
cat "$summary"
grep -q "NOT MET" "$summary" && echo "(goals not met are listed above; see docs/benchmarks.md)"
exit $status
