#!/bin/bash
# make demo: a live reading from a simulated meter. metersim plays a titration (pH 3 to 11)
# on a pseudo-terminal; a fresh 64-bit Wine prefix in a temporary folder has COM1 mapped to
# it (COM2 to a path that does not exist), and tivprobe.exe reads it through
# dist/win64/tivrel1.dll, one line a second. Everything started here is stopped, and the
# temporary folder removed, at the end and on Ctrl-C. No real serial device is touched.
set -u
cd "$(dirname "$0")/.."
. scripts/wine-com.sh

metersim=dist/linux/metersim
probe=dist/win64/tivprobe.exe
dll=dist/win64/tivrel1.dll
for f in "$metersim" "$probe" "$dll" "$WINE64"; do
    [ -f "$f" ] || { echo "demo: $f is missing (run make first)" >&2; exit 1; }
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/tivrel-demo.XXXXXX") || exit 1
prefix=$tmp/prefix
sim_pid=""
probe_pid=""

cleanup() {
    trap - EXIT INT TERM
    [ -n "$probe_pid" ] && kill "$probe_pid" 2>/dev/null
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null
        wait "$sim_pid" 2>/dev/null
    fi
    wine_prefix_stop "$prefix"
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'echo; echo "demo: interrupted"; exit 130' INT
trap 'exit 143' TERM

echo "demo: a fresh Wine prefix in $tmp: COM1 -> $tmp/com1, COM2 -> nothing"
wine_prefix_create "$prefix" "$tmp/com1" "$tmp/no-com2" || exit 1

# The titration starts when the library has set up the port, and takes 9 s: ten readings a
# second apart see it from start to end.
"$metersim" --scenario titration --ramp 9 --interval 0.5 --wait-setup --watch \
    --link "$tmp/com1" --duration 120 >"$tmp/metersim.log" 2>&1 &
sim_pid=$!
for ((i = 0; i < 100; i++)); do
    [ -L "$tmp/com1" ] && break
    sleep 0.05
done
[ -L "$tmp/com1" ] || { echo "demo: metersim did not start:" >&2; cat "$tmp/metersim.log" >&2; exit 1; }
echo "demo: metersim plays the meter on $(head -n 1 "$tmp/metersim.log") (COM1)"
echo "demo: wine64 $probe $dll"
echo

# Wine writes terminal control codes when its output is a terminal: the probe writes to a
# file, shown here as it grows (without the carriage returns of Windows line ends).
WINEPREFIX=$prefix "$WINE64" "$probe" --interval 1000 --count 10 "$dll" \
    </dev/null >"$tmp/probe.out" 2>"$tmp/wine.err" &
probe_pid=$!
# In the background, so that the wait below, and with it a signal's trap, is what the script
# is doing. tail ends by itself within a second of the probe.
tail -n +1 -f --pid=$probe_pid "$tmp/probe.out" | tr -d '\r' &
show_pid=$!
wait $probe_pid
status=$?
probe_pid=""
wait $show_pid
echo
if [ $status -ne 0 ]; then
    echo "demo: tivprobe failed (status $status):" >&2
    tail -n 20 "$tmp/wine.err" >&2
    exit 1
fi
echo "demo: the port as the library set it: $(sed -n 's/^port: //p' "$tmp/metersim.log" | tail -n 1)"
echo "demo: done"
