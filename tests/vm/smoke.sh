#!/bin/bash
# End-to-end check of the 32-bit Wine VM lane: tests the meter feeder on the
# host, builds smoke/comread.c as a 32-bit Windows program, runs smoke/run.sh
# in the VM (meters on COM1 and COM2, comread.exe under Wine), and exits with
# its status. 0 = the lane works.
#
#   tests/vm/smoke.sh [TIMEOUT_SECONDS]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
payload=$(mktemp -d "${TMPDIR:-/tmp}/tivrel-smoke.XXXXXX")
trap 'rm -rf "$payload"' EXIT

# The feeder first, on the host's own ptys: seconds instead of a VM boot
# when it is the feeder that is broken.
python3 "$here/meterpty_test.py"

cp "$here/smoke/run.sh" "$payload/run.sh"
i686-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -static -I"$here" \
    -o "$payload/comread.exe" "$here/smoke/comread.c"

rc=0
"$here/run.sh" "$payload" "${1:-300}" || rc=$?
if [ "$rc" = 0 ]; then
    echo "smoke: the VM lane works"
else
    echo "smoke: FAILED (status $rc)"
fi
exit "$rc"
