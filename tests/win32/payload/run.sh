#!/bin/sh
# The 32-bit Windows lane, inside the VM (tests/vm/run.sh starts it in the payload directory):
# hostcheck.exe under 32-bit Wine against tivrel1.dll and tivrel2.dll.
#   1. COM1 and COM2 lead nowhere: the DLLs load and read no value.
#   2. Meters on COM1 and COM2: every export, the export directory, the readings.
#   3. Under Wine's relay trace: the port set-up calls and nothing that writes (relaycheck.awk).
#   4. The meters' records: nothing was ever written to either port.
# Prints each stage's output and "win32: N passed, M failed" over the stages; exits 1 if any
# stage failed.
set -u
. "$TIVREL_VM_LIB/meter.sh"

passes=0
fails=0
result() { # result STATUS DESCRIPTION
    if [ "$1" = 0 ]; then
        echo "ok - $2"
        passes=$((passes + 1))
    else
        echo "not ok - $2"
        fails=$((fails + 1))
    fi
}
now() { date +%s; }

# run_stage LOG SECONDS COMMAND...: runs the command with a time bound, its output (stdout and
# stderr) kept in LOG and shown as it comes; sets rc (124 when the time ran out). tail follows
# the command's own process: services Wine starts may hold the log open long after.
run_stage() {
    _log=$1 _limit=$2
    shift 2
    : > "$_log"
    timeout -k 10 "$_limit" "$@" > "$_log" 2>&1 &
    _pid=$!
    tail -n +1 -s 0.5 -f --pid=$_pid "$_log"
    wait $_pid
    rc=$?
    [ "$rc" = 124 ] && echo "(stopped after $_limit s)"
}

# One Wine server for all the runs: the services Wine starts on first use stay up, and do not
# show up in the relay trace of stage 3.
wineserver -p > /dev/null 2>&1
echo "--- $(wine --version)"

echo "=== 1. ports mapped to nothing"
t=$(now)
[ ! -e "$TIVREL_METER_DIR/COM1" ] && [ ! -e "$TIVREL_METER_DIR/COM2" ]
result $? "nothing behind Wine's COM1 and COM2 ($TIVREL_METER_DIR)"
run_stage /tmp/noport.out 600 wine ./hostcheck.exe noport
result $rc "hostcheck noport ($(($(now) - t)) s)"

meter_start COM1 COM2
result $? "meters started on COM1 and COM2"

echo "=== 2. meters on COM1 and COM2"
t=$(now)
run_stage /tmp/full.out 1200 wine ./hostcheck.exe full
result $rc "hostcheck full ($(($(now) - t)) s)"

echo "=== 3. relay trace of the port set-up"
t=$(now)
WINEDEBUG=-all,+relay timeout -k 10 600 wine ./hostcheck.exe relay > /tmp/relay.out 2> /tmp/relay.log
rc=$?
cat /tmp/relay.out
result $rc "hostcheck relay ($(($(now) - t)) s)"
awk -f ./relaycheck.awk /tmp/relay.out /tmp/relay.log
rc=$?
result $rc "relay trace: the port set-up, and no call that writes to a port"
if [ $rc != 0 ]; then
    echo "--- the DLLs' calls in the trace:"
    grep -E '(Call|Ret) +[A-Za-z0-9_]+\.[A-Za-z]+\(' /tmp/relay.log |
        grep -E 'CreateFileA|SetupComm|CommState|BuildCommDCB|CommTimeouts|CommError|ReadFile|Write|TransmitCommChar|CloseHandle' |
        head -n 60
fi

echo "=== 4. what the ports received"
for port in COM1 COM2; do
    written=$(od -An -tx1 "$(meter_written $port)" | tr -d ' \n')
    [ -z "$written" ]
    result $? "nothing was written to $port (record: '$written')"
done

if [ $fails != 0 ]; then
    for port in COM1 COM2; do
        echo "--- feeder trace $port (last 40 lines)"
        tail -n 40 "$(meter_log $port)"
    done
fi
meter_stop
wineserver -k > /dev/null 2>&1
echo "win32: $passes passed, $fails failed"
[ $fails = 0 ]
