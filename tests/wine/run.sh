#!/bin/bash
# The 64-bit Windows libraries under 64-bit Wine, reading meters that metersim plays on
# pseudo-terminals. One fresh Wine prefix in a private temporary folder, its COM1 and COM2
# mapped to $tmp/com1 and $tmp/com2 before Wine first starts; each case starts a metersim
# whose symbolic link is one of those paths (no metersim: a missing port), and drives the
# libraries through hostcheck.exe, a scripted host (tests/wine/hostcheck.cpp).
#
# Needs `make` first: dist/win64/tivrel{1,2}.dll, dist/linux/metersim and
# build/win64/tools/hostcheck.exe. Prints "ok"/"FAIL" per check and a closing count; exits
# non-zero on any failure. Every wait is bounded; everything started is stopped on exit.
# KEEP_TMP=1 keeps the temporary folder (logs, traces, outputs) for a look afterwards.
set -u
cd "$(dirname "$0")/../.."
root=$PWD
. scripts/wine-com.sh

metersim=$root/dist/linux/metersim
hostcheck=$root/build/win64/tools/hostcheck.exe
probe=$root/dist/win64/tivprobe.exe
dll1=$root/dist/win64/tivrel1.dll
dll2=$root/dist/win64/tivrel2.dll
for f in "$metersim" "$hostcheck" "$probe" "$dll1" "$dll2" "$WINE64"; do
    [ -x "$f" ] || [ -f "$f" ] || { echo "wine tests: $f is missing (run make first)" >&2; exit 1; }
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/tivrel-wine.XXXXXX") || exit 1
prefix=$tmp/prefix
sims=""
passed=0
failed=0

cleanup() {
    trap - EXIT INT TERM
    for pid in $sims; do
        stop_sim "$pid"
    done
    wine_prefix_stop "$prefix"
    if [ -n "${KEEP_TMP:-}" ]; then echo "wine tests: kept $tmp"; else rm -rf "$tmp"; fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

pass() { passed=$((passed + 1)); echo "ok   - $1"; }
fail() {
    failed=$((failed + 1))
    echo "FAIL - $1"
    shift
    for line in "$@"; do echo "       $line"; done
}

# expect NAME WANT GOT [FILE...]: passes when WANT and GOT are the same text; on failure shows
# both and the files.
expect() {
    local name=$1 want=$2 got=$3
    shift 3
    if [ "$want" = "$got" ]; then
        pass "$name"
    else
        local shown=("want: $want" "got:  $got")
        for f in "$@"; do shown+=("--- $f:" "$(tail -n 40 "$f")"); done
        fail "$name" "${shown[@]}"
    fi
}

# field FILE PREFIX: what follows "PREFIX: " on the first such line of FILE.
field() { sed -n "s/^$2: //p" "$1" | head -n 1; }

# wait_for FILE REGEX SECONDS: until a line of FILE matches.
wait_for() {
    local i
    for ((i = 0; i < $3 * 20; i++)); do
        grep -Eq "$2" "$1" 2>/dev/null && return 0
        sleep 0.05
    done
    return 1
}

# start_sim PORT NAME ARGS...: metersim for COM<PORT> (its link at $tmp/com<PORT>), logging
# to $tmp/NAME.sim; waits until the link is there. Sets sim_pid.
start_sim() {
    local port=$1 name=$2
    shift 2
    "$metersim" --link "$tmp/com$port" --watch --verbose --duration 60 "$@" >"$tmp/$name.sim" 2>&1 &
    sim_pid=$!
    sims="$sims $sim_pid"
    local i
    for ((i = 0; i < 100; i++)); do
        [ -L "$tmp/com$port" ] && return 0
        sleep 0.05
    done
    echo "wine tests: metersim for COM$port did not start" >&2
    cat "$tmp/$name.sim" >&2
    exit 1
}

# stop_sim PID: stops a metersim and waits for it (it removes its link).
stop_sim() {
    kill -TERM "$1" 2>/dev/null || return 0
    local i
    for ((i = 0; i < 100; i++)); do
        kill -0 "$1" 2>/dev/null || break
        sleep 0.05
    done
    kill -KILL "$1" 2>/dev/null
    wait "$1" 2>/dev/null
    sims=$(echo "$sims" | tr ' ' '\n' | grep -vx "$1" | tr '\n' ' ')
}

# host NAME ARGS...: runs hostcheck.exe with ARGS under Wine; output in $tmp/NAME.out, Wine's
# messages in $tmp/NAME.err.
host() {
    local name=$1
    shift
    WINEPREFIX=$prefix timeout 60 "$WINE64" "$hostcheck" "$@" </dev/null >"$tmp/$name.out" 2>"$tmp/$name.err"
}

# The reading a complete last line sends, from metersim's log: "line N: pH 7.01 25.0" or
# "line N: mV -123". The decoder reads the temperature from positions 13..15, "25." of
# "25.0": the whole degrees.
last_line_reading() {
    awk '/^line [0-9]+: pH /{mode = "pH"; v = $4; t = $5}
         /^line [0-9]+: mV /{mode = "mV"; v = $4}
         END {
             if (mode == "pH") printf "%s|%d|pH|T(\\xb0C)\n", v + 0, int(t)
             else if (mode == "mV") printf "%s|-777|mV|\n", v + 0
         }' "$1"
}

# Every reading a host saw must pair its labels as the decoder does: pH with T(degrees C), mV
# with no temperature, and before any line neither label nor value.
check_pairing() {
    local name=$1 file=$2 bad
    bad=$(awk -F'|' '/^(seen|read|reached) / {
        split($1, head, ": "); v0 = head[2]
        ok = ($3 == "pH" && $4 == "T(\\xb0C)") ||
             ($3 == "mV" && $4 == "" && $2 == "-777") ||
             ($3 == "xxxxxxxx" && $4 == "xxxxxxx" && v0 == "-777" && $2 == "-777")
        if (!ok) print
    }' "$file")
    if [ -z "$bad" ]; then pass "$name"; else fail "$name" "$bad"; fi
}

# check_quiet NAME LOG: the device side of the pseudo-terminal wrote nothing.
check_quiet() {
    local got
    got=$(grep -E '^received |^stop: ' "$2" | sed 's/.*sent, //')
    expect "$1" "0 bytes received" "$got" "$2"
}

start=$(date +%s%N)
echo "== Wine tests (prefix in $tmp)"
if ! wine_prefix_create "$prefix" "$tmp/com1" "$tmp/com2" "tivrel1;tivrel2"; then
    fail "a fresh Wine prefix with COM1 and COM2 on pseudo-terminals"
    echo "0 passed, 1 failed"
    exit 1
fi
# One server for all cases, so that each run starts in a moment.
WINEPREFIX=$prefix "$WINESERVER" -p >"$tmp/wineserver.log" 2>&1

# ---------------------------------------------------------------------------------------------
# Both libraries in one process, each on its own port, traced: what they call, how the port
# ends up set, and that nothing goes back to the meter.
start_sim 1 own1 --scenario lines --line 'pH  7.01   25.0 C' --interval 0.2
start_sim 2 own2 --scenario lines --line '  -42mV' --interval 0.2
WINEDEBUG=+relay host own load 1 "$dll1" load 2 "$dll2" texts 1 texts 2 labels 1 labels 2 \
    wait 1 '7.01|25|pH|T(\xb0C)' 10000 wait 2 '-42|-777|mV|' 10000 sleep 300 free 1 free 2
for pid in $sims; do stop_sim "$pid"; done

for k in 1 2; do
    expect "tivrel$k.dll loads next to the other" "ok" \
        "$(grep -q "^load $k: base 0x" "$tmp/own.out" && echo ok)" "$tmp/own.out" "$tmp/own.err"
    expect "tivrel$k.dll: titre, byte for byte" "phm\\xe8tre Handylab2 en Com$k:" \
        "$(field "$tmp/own.out" "titre $k")"
    expect "tivrel$k.dll: detail, byte for byte" \
        "DLL pour phm\\xe8tre Schott Handylab2 en com$k:, par Vosquet, le 23 janvier 2003" \
        "$(field "$tmp/own.out" "detail $k")"
    expect "tivrel$k.dll: labels before any reading" "xxxxxxxx|xxxxxxx" \
        "$(field "$tmp/own.out" "labels $k")"
done
expect "tivrel1.dll reads the pH line on COM1" '7.01|25|pH|T(\xb0C)' \
    "$(field "$tmp/own.out" "reached 1")" "$tmp/own.out"
expect "tivrel2.dll reads the mV line on COM2" '-42|-777|mV|' \
    "$(field "$tmp/own.out" "reached 2")" "$tmp/own.out"

# The port as the pseudo-terminal sees it. metersim starts it at 9600 baud with 2 stop bits,
# so these are the library's settings. (A Linux pty always reports 8 data bits and no
# parity; the mode string in the trace below covers those.)
for k in 1 2; do
    expect "COM$k is set to 4800 baud, 1 stop bit" \
        "4800 baud, 8 data bits, no parity, 1 stop bit" \
        "$(sed -n 's/^port: //p' "$tmp/own$k.sim" | tail -n 1)" "$tmp/own$k.sim"
    check_quiet "nothing is written to COM$k" "$tmp/own$k.sim"
done

# The relay trace, one library at a time: its calls are those returning into its own image.
# Each line becomes "NAME(ARGS)" for a call and "NAME = RETVAL" for a return.
calls_of() {
    local base size lo hi
    read -r base size < <(sed -n "s/^load $1: base 0x\([0-9a-f]*\) size 0x\([0-9a-f]*\)$/\1 \2/p" "$tmp/own.out")
    [ -n "$base" ] || return 0
    lo=$(printf '%016x' $((16#$base)))
    hi=$(printf '%016x' $((16#$base + 16#$size)))
    awk -v lo="$lo" -v hi="$hi" '
        function pad(x) { return substr("0000000000000000", 1, 16 - length(x)) x }
        / ret=[0-9a-f]+$/ {
            ret = pad(substr($NF, 5))
            if (ret < lo || ret >= hi) next
            line = $0
            sub(/^[0-9a-f]+:/, "", line)
            sub(/ ret=[0-9a-f]+$/, "", line)
            if (sub(/^Call [A-Za-z0-9_]+\./, "", line)) print line
            else if (sub(/^Ret  [A-Za-z0-9_]+\./, "", line)) { sub(/\(\) retval=/, " = ", line); print line }
        }' "$tmp/own.err"
}
for k in 1 2; do
    calls_of $k >"$tmp/calls$k"
    handle=$(sed -n 's/^CreateFileA = //p' "$tmp/calls$k" | head -n 1)
    # The set-up, in order, with the handle CreateFileA returned.
    got=$(grep -v ' = ' "$tmp/calls$k" | head -n 6 |
        sed -E -e 's/^CreateFileA\([0-9a-f]+ /CreateFileA(/' \
            -e 's/^BuildCommDCBA\([0-9a-f]+ ("[^"]*"),[0-9a-f]+\)/BuildCommDCBA(\1,DCB)/' \
            -e "s/\($handle,/(HANDLE,/" -e 's/^(GetCommState|SetCommState|SetCommTimeouts)\(HANDLE,[0-9a-f]+\)/\1(HANDLE,ptr)/' |
        tr '\n' ' ')
    want="CreateFileA(\"Com$k:\",c0000000,00000000,00000000,00000003,00000080,00000000) "
    want+="SetupComm(HANDLE,00000100,00000100) GetCommState(HANDLE,ptr) "
    want+="BuildCommDCBA(\"baud=4800 parity=n data=8 stop=1\",DCB) SetCommState(HANDLE,ptr) "
    want+="SetCommTimeouts(HANDLE,ptr) "
    expect "tivrel$k.dll opens Com$k: for reading and writing, unshared, and sets it up" \
        "$want" "$got" "$tmp/calls$k"
    # It does read through the traced calls, so the absence of writes below means something.
    expect "tivrel$k.dll reads its port through ClearCommError and ReadFile" "yes" \
        "$(grep -q '^ClearCommError(' "$tmp/calls$k" && grep -q '^ReadFile(' "$tmp/calls$k" && echo yes)" \
        "$tmp/calls$k"
    expect "tivrel$k.dll closes its port when unloaded" "CloseHandle(HANDLE)" \
        "$(grep -E "^CloseHandle\($handle\)" "$tmp/calls$k" | sed "s/($handle)/(HANDLE)/")" "$tmp/calls$k"
    writes=$(grep -E '^(WriteFile|WriteFileEx|WriteFileGather|TransmitCommChar|SetCommBreak|EscapeCommFunction|PurgeComm|DeviceIoControl|NtWriteFile|NtDeviceIoControlFile)\(' "$tmp/calls$k")
    expect "tivrel$k.dll makes no call that sends or signals to the port" "" "$writes"
done

# ---------------------------------------------------------------------------------------------
# Scenarios sent in full before the library opens the port: its first channel-0 reading
# drains the whole queue (past 255 bytes, more than one read) and shows the last line as the
# decoder reads it.
# queued_pair NAME SIM1-ARGS... -- SIM2-ARGS...: a metersim on each port sends its scenario in
# full, then each library is loaded and read once (output in $tmp/NAME.out).
queued_pair() {
    local name=$1
    shift
    local args1=() p1 p2
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do args1+=("$1"); shift; done
    shift
    start_sim 1 "${name}1" "${args1[@]}" --interval 0.02 --linger 60
    p1=$sim_pid
    start_sim 2 "${name}2" "$@" --interval 0.02 --linger 60
    p2=$sim_pid
    wait_for "$tmp/${name}1.sim" '^done: ' 20 && wait_for "$tmp/${name}2.sim" '^done: ' 20
    host "$name" load 1 "$dll1" load 2 "$dll2" read 1 read 2 free 1 free 2
    stop_sim $p1
    stop_sim $p2
}
queued_case() {
    local title=$1 k=$2 name=$3 want=$4
    local sent
    sent=$(sed -n 's/^stop: .*lines, \([0-9]*\) bytes sent.*/\1/p' "$tmp/$name$k.sim")
    expect "$title ($sent bytes queued)" "$want" "$(field "$tmp/$name.out" "read $k")" \
        "$tmp/$name$k.sim" "$tmp/$name.out"
    check_quiet "nothing is written during $title" "$tmp/$name$k.sim"
}

queued_pair steady --scenario steady --seed 11 --noise 0.05 --count 20 \
    -- --scenario garbage --seed 5 --ph 9.18 --temp 21.5 --count 12
queued_case "steady readings with noise" 1 steady "$(last_line_reading "$tmp/steady1.sim")"
queued_case "lines among NUL bytes, random bytes and junk lines" 2 steady "$(last_line_reading "$tmp/steady2.sim")"

queued_pair burst --scenario burst --seed 7 --burst 16 --count 16 \
    -- --scenario overlong --seed 2 --ph 4.01 --count 8
queued_case "a burst of 16 lines" 1 burst "$(last_line_reading "$tmp/burst1.sim")"
queued_case "lines past position 19, some over 255 bytes" 2 burst "$(last_line_reading "$tmp/burst2.sim")"

# A line cut off: it never completes, so the reading stays that of the last whole line, not a
# mix of the cut line's start and the older line's rest. A mode switch: the last lines are mV
# (pH 4.00 is 177 mV).
queued_pair cut --scenario lines --line 'pH  6.99   25.0 C' --line 'pH  7.42   19.0 C' --count 2 --cut 7 \
    -- --scenario modes --switch 3 --ph 4 --noise 0 --count 6
queued_case "a line cut off when the meter stops" 1 cut '6.99|25|pH|T(\xb0C)'
queued_case "pH lines, then mV lines" 2 cut '177|-777|mV|'

# metersim keeps to the line: byte n + 1 leaves no earlier than n / 480 s after the first.
too_fast=$(awk '/^done: / {
        bytes = $6; seconds = $9
        if (seconds < (bytes - 1) / 480) print FILENAME ": " $0
    }' "$tmp"/steady?.sim "$tmp"/burst?.sim "$tmp"/cut?.sim)
expect "metersim sends no faster than 4800 baud 8N1 (480 bytes a second)" "" "$too_fast"

# ---------------------------------------------------------------------------------------------
# Live: a titration and a meter switching modes, read while they run, at the line's pace.
# Both start once their library has set up the port.
start_sim 1 live1 --scenario titration --ramp 2.5 --interval 0.1 --noise 0 --temp-noise 0 --wait-setup
start_sim 2 live2 --scenario modes --switch 4 --interval 0.15 --ph 4 --noise 0 --temp 21 \
    --temp-noise 0 --wait-setup
host live load 1 "$dll1" load 2 "$dll2" wait 1 '11|25|pH|T(\xb0C)' 15000 \
    wait 2 '177|-777|mV|' 15000 wait 2 '4|21|pH|T(\xb0C)' 15000 free 1 free 2
for pid in $sims; do stop_sim "$pid"; done
expect "a titration ends at pH 11" '11|25|pH|T(\xb0C)' "$(field "$tmp/live.out" "reached 1")" \
    "$tmp/live.out" "$tmp/live1.sim"
rising=$(awk -F'[ |]' '$1 == "seen" && $2 == "1:" && $5 == "pH" && $3 > 3 && $3 < 11 {print $3}' "$tmp/live.out" | sort -u | wc -l)
expect "the titration is seen on its way (5 or more readings between pH 3 and 11)" "yes" \
    "$([ "$rising" -ge 5 ] && echo yes)" "$tmp/live.out"
expect "a meter switching to mV is read as mV" '177|-777|mV|' \
    "$(sed -n 's/^reached 2: //p' "$tmp/live.out" | head -n 1)" "$tmp/live.out" "$tmp/live2.sim"
expect "and switching back to pH is read as pH" '4|21|pH|T(\xb0C)' \
    "$(sed -n 's/^reached 2: //p' "$tmp/live.out" | sed -n 2p)" "$tmp/live.out"
check_pairing "every live reading pairs its labels and values as the decoder does" "$tmp/live.out"
check_quiet "nothing is written during live reading (COM1)" "$tmp/live1.sim"
check_quiet "nothing is written during live reading (COM2)" "$tmp/live2.sim"

# ---------------------------------------------------------------------------------------------
# A missing port, and a library unloaded and loaded again.
start_sim 1 again1 --scenario lines --line 'pH  7.01   25.0 C' --line 'pH  8.02   26.0 C' --interval 0.1
host again load 2 "$dll2" texts 2 read 2 sleep 300 read 2 free 2 \
    load 1 "$dll1" wait 1 '7.01|25|pH|*' 5000 free 1 \
    load 1 "$dll1" labels 1 wait 1 '8.02|26|pH|*' 5000 wait 1 '7.01|25|pH|*' 5000 free 1
for pid in $sims; do stop_sim "$pid"; done
expect "with COM2 missing, tivrel2.dll still loads" "phm\\xe8tre Handylab2 en Com2:" \
    "$(field "$tmp/again.out" "titre 2")" "$tmp/again.out" "$tmp/again.err"
expect "and reads no value on both channels, twice" \
    "-777|-777|xxxxxxxx|xxxxxxx -777|-777|xxxxxxxx|xxxxxxx" \
    "$(sed -n 's/^read 2: //p' "$tmp/again.out" | tr '\n' ' ' | sed 's/ $//')"
expect "tivrel1.dll reads, is unloaded" "ok" "$(field "$tmp/again.out" "free 1")"
expect "and loaded again starts afresh" "xxxxxxxx|xxxxxxx" "$(field "$tmp/again.out" "labels 1")"
expect "and reads its port again" "8.02|26|pH|T(\xb0C) 7.01|25|pH|T(\xb0C)" \
    "$(sed -n 's/^reached 1: //p' "$tmp/again.out" | tail -n 2 | tr '\n' ' ' | sed 's/ $//')" "$tmp/again.out"
check_quiet "nothing is written to COM1 across the reload" "$tmp/again1.sim"

# ---------------------------------------------------------------------------------------------
# tivprobe.exe, the host a user checks a set-up with.
start_sim 1 probe1 --scenario lines --line 'pH  7.01   25.0 C' --interval 0.1
WINEPREFIX=$prefix timeout 60 "$WINE64" "$probe" --interval 300 --count 2 "$dll1" </dev/null 2>"$tmp/probe1.err" |
    tr -d '\r' >"$tmp/probe1.out"
WINEPREFIX=$prefix timeout 60 "$WINE64" "$probe" --interval 100 --count 1 "$dll2" </dev/null 2>"$tmp/probe2.err" |
    tr -d '\r' >"$tmp/probe2.out"
for pid in $sims; do stop_sim "$pid"; done
expect "tivprobe.exe shows the title in UTF-8" "$(printf 'titre      phm\xc3\xa8tre Handylab2 en Com1:')" \
    "$(grep '^titre ' "$tmp/probe1.out")" "$tmp/probe1.out" "$tmp/probe1.err"
expect "tivprobe.exe polls both channels with their labels" "$(printf '7.01 pH|25 T(\xc2\xb0C)')" \
    "$(awk '$1 == 2 && $3 == "s" {print $4 " " $5 "|" $6 " " $7}' "$tmp/probe1.out")" "$tmp/probe1.out"
expect "tivprobe.exe shows a missing port as no value" "no value xxxxxxxx|no value xxxxxxx" \
    "$(awk '$1 == 1 && $3 == "s" {print $4 " " $5 " " $6 "|" $7 " " $8 " " $9}' "$tmp/probe2.out")" \
    "$tmp/probe2.out" "$tmp/probe2.err"
WINEPREFIX=$prefix timeout 60 "$WINE64" "$probe" "$tmp/no-such.dll" </dev/null >/dev/null 2>"$tmp/probe3.err"
status=$?
expect "tivprobe.exe: a missing library is an error" "2 cannot load" \
    "$status $(grep -o 'cannot load' "$tmp/probe3.err" | head -n 1)" "$tmp/probe3.err"
WINEPREFIX=$prefix timeout 60 "$WINE64" "$probe" 'C:\windows\system32\kernel32.dll' </dev/null >/dev/null 2>"$tmp/probe4.err"
status=$?
expect "tivprobe.exe: a library without the exports is an error" "3 no export named stdtitre" \
    "$status $(grep -o 'no export named stdtitre' "$tmp/probe4.err" | head -n 1)" "$tmp/probe4.err"

ms=$((($(date +%s%N) - start) / 1000000))
printf '== Wine tests took %d.%d s\n' $((ms / 1000)) $((ms % 1000 / 100))
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
