#!/bin/bash
# Runs a test payload inside the 32-bit Wine VM and exits with its status.
#
#   tests/vm/run.sh PAYLOAD_DIR [TIMEOUT_SECONDS]     (default 300)
#
# PAYLOAD_DIR must contain run.sh; everything in the directory is copied to
# a second disk that the guest mounts at /in, and run.sh is started in
# /in/payload with stdin from /dev/null. The guest's helpers sit in /in/lib
# ($TIVREL_VM_LIB, also on PATH): meter.sh (source it to put a scripted meter
# on COM1/COM2) and meterpty. See README.md for the payload interface.
#
# The root disk is booted as a throw-away snapshot, so every run starts from
# the same state. The payload's output (stdout and stderr together) streams
# to this script's stdout; messages of the lane itself go to stderr with a
# "vm:" prefix. Exit status: the payload's; 124 if the time bound passed
# (qemu is killed); 125 if the guest never reported a status; 2 on bad use.
# The full console log of the last run is kept in the cache directory
# (last-run-console.log), and with TIVREL_VM_VERBOSE=1 it is streamed whole.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"

if [ $# -lt 1 ] || [ $# -gt 2 ] || [ ! -f "$1/run.sh" ]; then
    echo "usage: $0 PAYLOAD_DIR [TIMEOUT_SECONDS]   (PAYLOAD_DIR must contain run.sh)" >&2
    exit 2
fi
payload=$1
timeout=${2:-300}
case $timeout in
    ''|*[!0-9]*) echo "$0: timeout must be a number of seconds" >&2; exit 2 ;;
esac

image=$("$here/image.sh")
cache=$(vm_cache_dir)

work=$(mktemp -d "${TMPDIR:-/tmp}/tivrel-vm.XXXXXX")
cleanup() {
    vm_kill
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The payload disk: the payload itself, and the guest-side helpers, built
# now so that changing them does not need a new image. meterpty is static so
# it runs in the guest whatever its libc.
mkdir -p "$work/in/payload" "$work/in/lib"
cp -a "$payload/." "$work/in/payload/"
gcc -static -O2 -Wall -o "$work/in/lib/meterpty" "$here/meterpty.c"
install -m 0644 "$here/meter.sh" "$work/in/lib/meter.sh"
size_kb=$(du -sk "$work/in" | cut -f1)
mkfs.ext4 -q -F -L tivrel-in -d "$work/in" "$work/in.img" "$((size_kb * 2 + 16384))k" > /dev/null
rm -rf "$work/in"

vm_say "booting the VM (payload: $payload, time bound: ${timeout} s)"
started=$(date +%s)
rc=0
vm_boot "$image" run "$timeout" "$work/console.log" snapshot "$work/in.img" || rc=$?
cp "$work/console.log" "$cache/last-run-console.log" 2>/dev/null || true
if [ "$rc" = 124 ] || [ "$rc" = 125 ]; then
    vm_say "whole console log: $cache/last-run-console.log"
fi
vm_say "payload exited with status $rc after $(( $(date +%s) - started )) s"
exit "$rc"
