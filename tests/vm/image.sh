#!/bin/bash
# Builds the VM image of the 32-bit Wine test lane, if the cached one is
# missing or was made from other recipe files, and prints its directory
# (holding vmlinuz, initrd.img and root.img). Safe to run any number of times.
#
# Why a VM: this host's kernel cannot run 32-bit code and qemu's user-mode
# emulation cannot run Wine, so 32-bit Wine runs in a Debian 12 amd64 guest
# under qemu-system-x86_64 (software emulation, no KVM here).
#
# The image is keyed by a hash of its recipe (this file and guest/*), kept in
# ${TIVREL_CACHE:-$HOME/.cache/tivrel}/vm/wine32-<hash>, built under a
# temporary name and renamed only when complete, so an interrupted build
# never looks like a valid image. Downloaded packages are kept in the cache
# too, which makes a rebuild after a recipe change quicker.
#
# Needs root (debootstrap, chroot), network access to the Debian mirror, and
# the host packages debootstrap, qemu-system-x86, e2fsprogs.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"

SUITE=bookworm
MIRROR=http://deb.debian.org/debian
# Kernel for the guest, and 32-bit Wine (wine32:i386; the "wine" package
# brings the commands). No recommends: the lane runs console programs only.
PACKAGES="linux-image-amd64 wine wine32:i386"

cache=$(vm_cache_dir)
key=$(cat "$here/image.sh" "$here"/guest/* | sha256sum | cut -c1-16)
image=$cache/wine32-$key

if vm_image_complete "$image"; then
    echo "$image"
    exit 0
fi

if [ "$(id -u)" != 0 ]; then
    vm_say "the VM image $image is missing or out of date, and building it needs root"
    vm_say "(debootstrap and chroot). Run once as root: sudo $here/image.sh"
    vm_say "(keep TIVREL_CACHE/HOME the same so the image lands in the cache you use)"
    exit 1
fi
for tool in debootstrap qemu-system-x86_64 mkfs.ext4 e2fsck flock; do
    if ! command -v "$tool" > /dev/null; then
        vm_say "missing $tool: install debootstrap qemu-system-x86 e2fsprogs util-linux (scripts/setup.sh)"
        exit 1
    fi
done

mkdir -p "$cache"
# One build at a time; whoever waited finds the finished image afterwards.
exec 9> "$cache/.lock"
if ! flock -n 9; then
    vm_say "another build of the VM image is running; waiting for it"
    flock 9
fi
if vm_image_complete "$image"; then
    echo "$image"
    exit 0
fi

# Unmounts everything below $1 and removes it. --one-file-system makes sure
# that rm never walks into a mount (such as /proc) that is still attached.
remove_build_dir() {
    local dir=$1 m
    [ -d "$dir" ] || return 0
    for m in $(findmnt -rn -o TARGET | grep "^$dir/" | sort -r); do
        umount -l "$m" || true
    done
    rm -rf --one-file-system "$dir"
}

# Leftovers of interrupted builds (we hold the lock, so none is running).
for old in "$cache"/.build-*; do
    [ -e "$old" ] && remove_build_dir "$old"
done

build=$cache/.build-$key.$$
root=$build/root
blog=$build/build.log
trap 'vm_kill; remove_build_dir "$build"' EXIT
trap 'exit 130' INT TERM
mkdir -p "$root" "$cache/debs" "$cache/apt-archives/partial"
: > "$blog"

start=$(date +%s)
say_step() {
    vm_say "[image $(( $(date +%s) - start ))s] $*"
}

# Runs a long command with its output in the build log, and shows that it is
# alive: every 15 s the elapsed time and the log's last line.
run_logged() {
    "$@" >> "$blog" 2>&1 &
    local pid=$! t=0 rc=0
    while kill -0 "$pid" 2>/dev/null; do
        sleep 1
        t=$((t + 1))
        if [ $((t % 15)) = 0 ]; then
            vm_say "    ... ${t}s: $(tail -n 1 "$blog" | cut -c1-100)"
        fi
    done
    wait "$pid" || rc=$?
    if [ "$rc" != 0 ]; then
        vm_say "FAILED (exit $rc): $*"
        vm_say "last lines of $blog:"
        tail -n 30 "$blog" | sed 's/^/    /' >&2
        cp "$blog" "$cache/last-build.log"
        vm_say "full log: $cache/last-build.log"
    fi
    return "$rc"
}

vm_say "building the VM image $image"
vm_say "(once per recipe change: about 4-6 minutes; later runs reuse it)"

say_step "1/5 debootstrap $SUITE (minbase) from $MIRROR"
run_logged debootstrap --variant=minbase --arch=amd64 --cache-dir="$cache/debs" \
    "$SUITE" "$root" "$MIRROR"

say_step "2/5 installing $PACKAGES"
# The initramfs only needs what finds and mounts the root disk: a small one
# unpacks faster on every boot than the default "most modules" one.
mkdir -p "$root/etc/initramfs-tools/conf.d"
echo "MODULES=list" > "$root/etc/initramfs-tools/conf.d/tivrel"
printf '%s\n' virtio_pci virtio_blk ext4 >> "$root/etc/initramfs-tools/modules"
mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
mount --bind "$cache/apt-archives" "$root/var/cache/apt/archives"
# Some i386 packages' setup scripts run i386 helpers (glib's schema
# compiler, for instance); those fail here with "Exec format error" but the
# scripts go on, and nothing Wine needs for console programs depends on them.
run_logged chroot "$root" /bin/sh -c "
    set -e
    export DEBIAN_FRONTEND=noninteractive
    dpkg --add-architecture i386
    apt-get update -q
    apt-get install -y -q --no-install-recommends $PACKAGES
    apt-get clean
"
umount "$root/var/cache/apt/archives" "$root/sys" "$root/proc"
rm -rf "$root"/var/lib/apt/lists/*

install -m 0755 "$here/guest/init.sh" "$root/sbin/tivrel-init"
install -D -m 0755 "$here/guest/setup-wine.sh" "$root/usr/local/lib/tivrel/setup-wine.sh"
echo tivrel-vm > "$root/etc/hostname"

say_step "3/5 making the disk image"
cp "$root"/boot/vmlinuz-* "$build/vmlinuz"
cp "$root"/boot/initrd.img-* "$build/initrd.img"
# Room for the Wine prefix (~200 MB) and what tests write during a run.
used_mb=$(du -smx "$root" | cut -f1)
size_mb=$((used_mb + used_mb / 4 + 1024))
run_logged mkfs.ext4 -q -F -L tivrel-root -d "$root" "$build/root.img" "${size_mb}M"
rm -rf --one-file-system "$root"

say_step "4/5 booting the VM once to create the Wine prefix (about 1-2 minutes)"
VM_STREAM_PREFIX="vm:     guest| "
if ! vm_boot "$build" setup 900 "$build/setup-console.log" write >&2; then
    cp "$build/setup-console.log" "$cache/last-build-console.log"
    vm_say "FAILED: the in-VM setup did not succeed; full console log: $cache/last-build-console.log"
    exit 1
fi
# The guest remounted the disk read-only before powering off; check that it
# really is clean (e2fsck: 0 = clean, 1 = small fixes made).
fsck_rc=0
e2fsck -f -p "$build/root.img" >> "$blog" 2>&1 || fsck_rc=$?
if [ "$fsck_rc" -gt 1 ]; then
    vm_say "FAILED: e2fsck on the finished image returned $fsck_rc (see $blog)"
    exit 1
fi

say_step "5/5 finishing"
{
    echo "recipe hash: $key"
    echo "built: $(date -u +%Y-%m-%dT%H:%M:%SZ) in $(( $(date +%s) - start ))s"
    echo "suite: $SUITE  mirror: $MIRROR  packages: $PACKAGES"
} > "$build/info.txt"
mv "$build" "$image"
trap - EXIT
# Older images (other recipes) only take disk space now.
for old in "$cache"/wine32-*; do
    [ "$old" != "$image" ] && [ -d "$old" ] && rm -rf --one-file-system "$old"
done
say_step "done: $image"
echo "$image"
