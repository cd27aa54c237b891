#!/bin/bash
# The 32-bit Windows lane: builds dist/win32 (if out of date) and hostcheck.exe, packs them
# with the payload and runs it in the 32-bit Wine VM (tests/vm/run.sh, which builds the VM
# image first when it is missing). Exits with the payload's status: 0 when every check passed.
#
#   tests/win32/run.sh [TIMEOUT_SECONDS]     time bound of the VM run (default 1200)
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
timeout=${1:-1200}

if [ "$(id -u)" != 0 ]; then
    echo "win32 lane: must run as root (the VM image is built with debootstrap and chroot)" >&2
    exit 1
fi

cmake --preset win32 > /dev/null
cmake --build --preset win32

out=build/win32-hostcheck
mkdir -p "$out"
# The export list, as {"name", ordinal}, lines for hostcheck.cpp.
awk '/^[a-z]/ { printf "{\"%s\", %s},\n", $1, $2 }' driver/exports.txt > "$out/exports.inc"
i686-w64-mingw32-g++ -std=c++17 -O2 -Wall -Wextra -Werror -static -msse2 -mfpmath=sse \
    -D__USE_MINGW_ANSI_STDIO=1 -I"$out" -Itests/win32 -Itests/vm \
    -o "$out/hostcheck.exe" tests/win32/hostcheck.cpp tests/win32/thunk.S

payload=$(mktemp -d "${TMPDIR:-/tmp}/tivrel-win32.XXXXXX")
trap 'rm -rf "$payload"' EXIT
cp tests/win32/payload/* "$payload/"
cp "$out/hostcheck.exe" dist/win32/tivrel1.dll dist/win32/tivrel2.dll "$payload/"

start=$(date +%s)
rc=0
tests/vm/run.sh "$payload" "$timeout" || rc=$?
echo "win32 lane: exit status $rc after $(($(date +%s) - start)) s"
exit "$rc"
