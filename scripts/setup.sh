#!/bin/sh
# Installs the Debian packages the build and the tests need, and only those that are missing.
# Safe to run again: with everything present it does nothing.
set -eu

PACKAGES="
cmake ninja-build make g++ g++-multilib
g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
googletest libgtest-dev libbenchmark-dev
clang libclang-rt-14-dev
qemu-user-static qemu-system-x86 debootstrap e2fsprogs
wine64 file util-linux procps python3 locales
"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

echo "setup: installing:$missing"
if [ "$(id -u)" = 0 ]; then
    SUDO=""
elif command -v sudo >/dev/null 2>&1; then
    SUDO="sudo"
else
    echo "setup: run as root: apt-get update && apt-get install -y$missing" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
# shellcheck disable=SC2086
$SUDO apt-get install -y -q --no-install-recommends $missing
