#!/bin/sh
# PID 1 of the test VM (the kernel runs it via init=/sbin/tivrel-init).
#
# There is no init system in the image: this script mounts what it needs,
# does one job, prints a marker line with the job's exit status on the
# console (ttyS0, which the host reads), and powers the VM off so qemu exits.
# The job is chosen on the kernel command line:
#   tivrel.mode=setup   one-time preparation while the image is built
#                       (the Wine prefix); the disk is writable then
#   tivrel.mode=run     run /in/payload/run.sh from the second disk; the
#                       host boots the root disk as a throw-away snapshot
#   tivrel.nonce=X      makes the markers unique to this boot, so nothing a
#                       payload prints can fake them
# PID 1 must never exit (the kernel would panic), hence the fallbacks at the
# end; panic=-1 and qemu's -no-reboot turn any panic into a prompt qemu exit.

export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/root LANG=C.UTF-8 TERM=dumb
# Wine: one 32-bit prefix made when the image was built; no debug chatter;
# no menu entries, and no Mono/Gecko download prompts (there is no network).
export WINEPREFIX=/root/.wine
export WINEDEBUG=-all
export WINEDLLOVERRIDES='winemenubuilder.exe=d;mscoree=d;mshtml=d'
# Where the meters' pseudo-terminals live; Wine's COM1/COM2 point here.
export TIVREL_METER_DIR=/run/tivrel

mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sysfs /sys
mountpoint -q /dev || mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mountpoint -q /dev/pts || mount -t devpts -o gid=5,mode=620,ptmxmode=666 devpts /dev/pts
mountpoint -q /dev/shm || mount -t tmpfs tmpfs /dev/shm
mountpoint -q /run || mount -t tmpfs -o mode=755 tmpfs /run
mountpoint -q /tmp || mount -t tmpfs -o mode=1777 tmpfs /tmp
mkdir -p "$TIVREL_METER_DIR"
# Wine maps every /dev/ttySn it finds to a COM port of its own (ttyS0, the
# console that carries the results, would become COM3). Without the device
# nodes nothing can open those ports by path; the console itself is written
# through /dev/console and keeps working.
rm -f /dev/ttyS[0-9]*
# Keep kernel messages out of the payload's output on the shared console.
echo 1 > /proc/sys/kernel/printk
hostname tivrel-vm 2>/dev/null

mode="" nonce=none
for arg in $(cat /proc/cmdline); do
    case $arg in
        tivrel.mode=*) mode=${arg#tivrel.mode=} ;;
        tivrel.nonce=*) nonce=${arg#tivrel.nonce=} ;;
    esac
done

power_off() {
    sync
    # No init system, so no poweroff command: ask the kernel directly.
    echo o > /proc/sysrq-trigger
    sleep 30
    echo b > /proc/sysrq-trigger
}

# Runs "$@" with stdin from /dev/null and stdout/stderr in a file that tail
# copies to the console as it grows; sets $status. Not a terminal: on one,
# Wine's console layer adds escape sequences to the text. Not a pipe either:
# a process the job leaves running (a persistent wineserver, a feeder) would
# keep the pipe open and the boot would never end. tail --pid stops once the
# job has exited and its output is all shown.
run_job() {
    : > /run/tivrel-job.out
    "$@" < /dev/null > /run/tivrel-job.out 2>&1 &
    job=$!
    tail -n +1 -s 0.1 -f --pid=$job /run/tivrel-job.out &
    shower=$!
    wait $job
    status=$?
    wait $shower
}

case $mode in
setup)
    echo "TIVREL-VM-BEGIN:$nonce"
    run_job sh /usr/local/lib/tivrel/setup-wine.sh
    ;;
run)
    # The payload disk; the kernel may still be probing it.
    i=0
    while [ ! -b /dev/vdb ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
    mkdir -p /in
    if mount -t ext4 /dev/vdb /in && cd /in/payload; then
        export TIVREL_VM_LIB=/in/lib
        export PATH="/in/lib:$PATH"
        echo "TIVREL-VM-BEGIN:$nonce"
        if [ -x ./run.sh ]; then
            run_job ./run.sh
        else
            run_job sh ./run.sh
        fi
        cd /
    else
        echo "TIVREL-VM-BEGIN:$nonce"
        echo "vm: cannot mount the payload disk /dev/vdb or find /in/payload"
        status=125
    fi
    ;;
*)
    echo "TIVREL-VM-BEGIN:$nonce"
    echo "vm: unknown tivrel.mode '$mode'"
    status=125
    ;;
esac

if [ "$mode" = setup ]; then
    # The disk is the real image here: stop whatever the job left running
    # (PID 1 is spared by kill -1) and leave the file system clean.
    kill -TERM -1 2>/dev/null
    sleep 1
    sync
    mount -o remount,ro / || status=125
fi
# Start on a fresh line in case the job's output did not end with one.
echo
echo "TIVREL-VM-EXIT:$nonce:$status"
power_off
