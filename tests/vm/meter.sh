# Scripted meters on Wine's COM ports, for payloads of the VM lane.
# Source it from a payload's run.sh (POSIX sh):
#
#   . "$TIVREL_VM_LIB/meter.sh"
#   meter_start COM1 COM2            # a fed pty behind each port
#   meter_send COM1 'text 7.00 pH\r\n' 'sleep 100' 'send 0d 0a'
#   meter_sync COM1                  # returns once those bytes are in the port
#   wine ./test.exe > out.txt 2>&1; rc=$?; cat out.txt
#   meter_written COM1               # path of what the program wrote to COM1
#   meter_stop
#
# Wine's COM1 and COM2 are mapped (HKLM\Software\Wine\Ports, set when the
# image was built) to $TIVREL_METER_DIR/COM1 and .../COM2; meter_start puts
# meterpty's pty symlink at exactly that path. A Windows test program can
# drive the meter itself through Z:\run\tivrel\meter-COMn.ctl and .ack (see
# meterpty.c for the command protocol and meterctl.h for a C helper).
#
# All functions return non-zero and say why on stderr when something fails.

: "${TIVREL_METER_DIR:=/run/tivrel}"
: "${WINEPREFIX:=$HOME/.wine}"

_meter_err() {
    echo "meter: $*" >&2
    return 1
}

# Checks that Wine will open $TIVREL_METER_DIR/PORT for PORT: the registry
# value and the prefix's dosdevices link (Wine's mount manager rewrites the
# link from the registry each time Wine starts). Checked without starting
# Wine, which takes seconds in the VM.
meter_check_mapping() {
    _port=$1
    _lower=$(echo "$_port" | tr '[:upper:]' '[:lower:]')
    _want="$TIVREL_METER_DIR/$_port"
    _link=$(readlink "$WINEPREFIX/dosdevices/$_lower" 2>/dev/null) || _link=
    [ "$_link" = "$_want" ] ||
        _meter_err "$_port: Wine's dosdevices/$_lower points to '$_link', not $_want" || return 1
    grep -q "^\"$_port\"=\"$_want\"\$" "$WINEPREFIX/system.reg" ||
        _meter_err "$_port: no \"$_port\"=\"$_want\" under Software\\Wine\\Ports in system.reg" || return 1
}

# Maps PORT to PATH in Wine's registry and restarts the Wine server so the
# change takes effect. Only needed for a mapping other than the built-in
# one; call it before meter_start, with no Wine program running.
meter_map() {
    wine reg add 'HKLM\Software\Wine\Ports' /v "$1" /t REG_SZ /d "$2" /f > /dev/null ||
        _meter_err "wine reg add for $1 failed" || return 1
    wineserver -k 2>/dev/null
    wineserver -w
}

# meter_start PORT...: starts a feeder for each port and waits until its pty
# is in place. The feeder's trace goes to $TIVREL_METER_DIR/PORT.log.
meter_start() {
    mkdir -p "$TIVREL_METER_DIR"
    for _port in "$@"; do
        meter_check_mapping "$_port" || return 1
        # meterpty returns once its files exist and prints the feeder's PID.
        _pid=$(meterpty "$TIVREL_METER_DIR" "$_port" 2>> "$TIVREL_METER_DIR/meter-$_port.log") ||
            _meter_err "meterpty for $_port failed: $(cat "$TIVREL_METER_DIR/meter-$_port.log")" || return 1
        echo "$_pid" > "$TIVREL_METER_DIR/meter-$_port.pid"
    done
}

# meter_send PORT COMMAND...: one feeder command per argument ("text ...",
# "send ...", "sleep MS"); they run in order without waiting here.
meter_send() {
    _port=$1
    shift
    [ -p "$TIVREL_METER_DIR/meter-$_port.ctl" ] || _meter_err "$_port has no feeder" || return 1
    printf '%s\n' "$@" > "$TIVREL_METER_DIR/meter-$_port.ctl"
}

_meter_seq=0
# meter_sync PORT [TIMEOUT_S]: waits until every command sent so far is done
# (the bytes are in the port's receive queue); fails if one was malformed.
# Only one party may wait on a port's acks at a time.
meter_sync() {
    _port=$1
    _meter_seq=$((_meter_seq + 1))
    _token="sh$$-$_meter_seq"
    meter_send "$_port" "ack $_token" || return 1
    _reply=$(timeout "${2:-10}" sh -c 'IFS= read -r l < "$1" && printf "%s\n" "$l"' _ \
        "$TIVREL_METER_DIR/meter-$_port.ack") ||
        _meter_err "$_port: no answer from the feeder within ${2:-10} s" || return 1
    [ "$_reply" = "$_token OK" ] || _meter_err "$_port: feeder answered: $_reply" || return 1
}

# meter_written PORT: the file holding every byte written to PORT.
meter_written() {
    echo "$TIVREL_METER_DIR/meter-$1.written"
}

# meter_log PORT: the feeder's trace (what it sent, what it received, when).
meter_log() {
    echo "$TIVREL_METER_DIR/meter-$1.log"
}

# meter_stop [PORT...]: stops the feeders (all started ones by default).
meter_stop() {
    if [ $# = 0 ]; then
        for _f in "$TIVREL_METER_DIR"/meter-*.pid; do
            [ -e "$_f" ] || continue
            _f=${_f##*/meter-}
            set -- "$@" "${_f%.pid}"
        done
    fi
    for _port in "$@"; do
        _f="$TIVREL_METER_DIR/meter-$_port.pid"
        [ -f "$_f" ] || continue
        kill "$(cat "$_f")" 2>/dev/null
        rm -f "$_f"
    done
}
