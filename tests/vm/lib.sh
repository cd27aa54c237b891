# shellcheck shell=bash
# Shared by image.sh and run.sh (sourced, bash): where the image lives and
# how one VM boot is run and judged.

vm_cache_dir() {
    echo "${TIVREL_CACHE:-$HOME/.cache/tivrel}/vm"
}

vm_say() {
    echo "vm: $*" >&2
}

# The files a finished image directory must hold.
vm_image_complete() {
    [ -f "$1/vmlinuz" ] && [ -f "$1/initrd.img" ] && [ -f "$1/root.img" ]
}

# Prints the guest's console lines to stdout as they arrive, without the \r
# the guest's terminal adds. Only the lines between this boot's begin and exit
# markers are shown (the job's own output; boot messages stay in the log),
# unless TIVREL_VM_VERBOSE=1. $2 is put in front of every line shown.
_vm_stream() {
    # A shell loop rather than awk: Debian's default awk (mawk) reads a pipe
    # in large blocks, which would hold the output back until the end.
    local nonce=$1 prefix=$2 all=${TIVREL_VM_VERBOSE:-0} on=0 blank=0 line
    while IFS= read -r line || [ -n "$line" ]; do
        line=${line//$'\r'/}
        case $line in
        *"TIVREL-VM-BEGIN:$nonce"*)
            on=1
            continue
            ;;
        *"TIVREL-VM-EXIT:$nonce:"*)
            # The guest prints one empty line before the exit marker so that
            # the marker starts a line of its own; that one is not shown.
            while [ "$blank" -gt 1 ]; do printf '%s\n' "$prefix"; blank=$((blank - 1)); done
            blank=0 on=0
            continue
            ;;
        esac
        [ "$on" = 1 ] || [ "$all" = 1 ] || continue
        if [ -z "$line" ]; then
            blank=$((blank + 1))
            continue
        fi
        while [ "$blank" -gt 0 ]; do printf '%s\n' "$prefix"; blank=$((blank - 1)); done
        printf '%s%s\n' "$prefix" "$line"
    done
}

VM_QEMU_PID=
# Stops a VM that is still running, e.g. when the caller is interrupted.
# The pid is that of timeout(1), which passes the signal on to qemu.
vm_kill() {
    if [ -n "$VM_QEMU_PID" ]; then
        kill "$VM_QEMU_PID" 2>/dev/null || true
        VM_QEMU_PID=
    fi
}

# vm_boot IMAGE_DIR MODE TIMEOUT CONSOLE_LOG ROOT_ACCESS [PAYLOAD_IMAGE]
#   MODE         tivrel.mode for guest/init.sh: setup or run
#   ROOT_ACCESS  snapshot: the root disk is a throw-away copy (every run
#                starts from the same state); write: changes are kept
#                (only while the image is built)
# Streams the guest job's output (see _vm_stream; prefix in VM_STREAM_PREFIX)
# and returns the job's exit status as the guest reported it in its marker
# line, 124 if the time ran out (qemu is killed), 125 if the guest never
# reported one (failed boot, crash).
vm_boot() {
    local imgdir=$1 mode=$2 timeout=$3 log=$4 access=$5 payload=${6:-}
    local nonce snap=
    nonce=$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')
    [ "$access" = snapshot ] && snap=",snapshot=on"

    local args=(
        -accel tcg,thread=multi -smp 2 -m 2048
        # Only the devices used: no network, graphics or default serial.
        -nodefaults -display none -vga none -no-reboot
        -kernel "$imgdir/vmlinuz" -initrd "$imgdir/initrd.img"
        -append "root=/dev/vda rw fastboot console=ttyS0 quiet panic=-1 init=/sbin/tivrel-init tivrel.mode=$mode tivrel.nonce=$nonce"
        -drive "file=$imgdir/root.img,if=virtio,format=raw,cache=unsafe$snap"
        # The guest console (its ttyS0) goes to a file on the host.
        -chardev "file,id=con,path=$log,append=on" -serial chardev:con
    )
    if [ -n "$payload" ]; then
        args+=(-drive "file=$payload,if=virtio,format=raw,cache=unsafe")
    fi

    : > "$log"
    timeout --kill-after=10 "$timeout" qemu-system-x86_64 "${args[@]}" < /dev/null &
    VM_QEMU_PID=$!
    tail -n +1 -s 0.2 -f --pid="$VM_QEMU_PID" "$log" | _vm_stream "$nonce" "${VM_STREAM_PREFIX:-}" &
    local stream_pid=$! qrc=0
    wait "$VM_QEMU_PID" || qrc=$?
    VM_QEMU_PID=
    wait "$stream_pid" || true

    local status
    status=$(tr -d '\r' < "$log" | sed -n "s/.*TIVREL-VM-EXIT:$nonce:\([0-9][0-9]*\)\$/\1/p" | tail -n 1)
    if [ "$qrc" = 124 ] || [ "$qrc" = 137 ]; then
        vm_say "TIMEOUT: the VM did not finish within ${timeout} s; qemu was killed"
        vm_say "last console lines:"
        tail -n 20 "$log" | tr -d '\r' | sed 's/^/    /' >&2
        return 124
    fi
    if [ -z "$status" ]; then
        vm_say "FAILED: the guest reported no exit status (qemu exit code $qrc)"
        vm_say "last console lines:"
        tail -n 40 "$log" | tr -d '\r' | sed 's/^/    /' >&2
        return 125
    fi
    return "$status"
}
