#!/bin/sh
# Smoke payload of the VM lane (runs inside the guest, see ../run.sh):
# a fed pty on COM1 and COM2, the shell side of the meter helper, then
# comread.exe under 32-bit Wine talking to both ports, then the record of
# what was written to each port.
set -u
. "$TIVREL_VM_LIB/meter.sh"

fails=0
passes=0
result() { # result OK|FAIL DESCRIPTION
    if [ "$1" = OK ]; then
        echo "ok - $2"
        passes=$((passes + 1))
    else
        echo "not ok - $2"
        fails=$((fails + 1))
    fi
}

meter_start COM1 COM2 || { echo "not ok - meters started"; exit 1; }

# The shell side: send, wait for the feeder, read the bytes off the pty.
meter_send COM1 'text shell\r\n' 'send 00 ff' &&
    meter_sync COM1 &&
    got=$(timeout 5 head -c 9 "$TIVREL_METER_DIR/COM1" | od -An -tx1 | tr -d ' \n')
[ "${got:-}" = 7368656c6c0d0a00ff ] && r=OK || r=FAIL
result "$r" "meter_send + meter_sync put the bytes in the port (got ${got:-nothing})"
meter_send COM1 'send 4' && ! meter_sync COM1 2> /dev/null && r=OK || r=FAIL
result "$r" "meter_sync reports a malformed command"
meter_sync COM1 && r=OK || r=FAIL
result "$r" "the next meter_sync is clean again"
# The reads above opened COM1 from the shell; start the record afresh for
# the Windows program.
: > "$(meter_written COM1)"

echo "--- comread.exe under $(wine --version)"
t0=$(date +%s.%N)
# Output to a file, not a terminal: Wine adds escape codes on a terminal.
wine ./comread.exe > /tmp/comread.out 2>&1
rc=$?
t1=$(date +%s.%N)
cat /tmp/comread.out
echo "--- comread.exe exited $rc after $(awk "BEGIN { printf \"%.1f\", $t1 - $t0 }") s"
[ $rc = 0 ] && r=OK || r=FAIL
result "$r" "comread.exe passed"

# What the program wrote: nothing on COM1 (it only reads there), PING\r on COM2.
com1=$(od -An -tx1 "$(meter_written COM1)" | tr -d ' \n')
com2=$(od -An -tx1 "$(meter_written COM2)" | tr -d ' \n')
[ -z "$com1" ] && r=OK || r=FAIL
result "$r" "nothing was written to COM1 (record: '${com1}')"
[ "$com2" = 50494e470d ] && r=OK || r=FAIL
result "$r" "COM2 recorded exactly what the program wrote (record: '${com2}')"

if [ $fails != 0 ]; then
    for p in COM1 COM2; do
        echo "--- feeder trace $p"
        cat "$(meter_log $p)"
    done
fi
meter_stop
echo "smoke: $passes passed, $fails failed"
[ $fails = 0 ]
