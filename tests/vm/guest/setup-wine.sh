#!/bin/sh
# One-time preparation inside the VM while the image is built (init.sh runs
# it with tivrel.mode=setup on the writable disk). The 32-bit Wine can only
# run inside the VM, so the prefix is made here and kept in the image; every
# test run then starts from it (about 40 s saved per run).
set -eu

step() { echo "setup: $(date +%H:%M:%S) $*"; }

step "creating the 32-bit Wine prefix in $WINEPREFIX (takes about a minute)"
wineboot --init
wineserver -w

# Map COM1/COM2 to fixed paths in $TIVREL_METER_DIR, where a test's meter
# feeder (meterpty) later puts a symlink to its pseudo-terminal. Without
# these values Wine would map COMn to the VM's /dev/ttySn, and ttyS0 is the
# console that carries the test output.
for port in COM1 COM2; do
    step "mapping $port to $TIVREL_METER_DIR/$port"
    wine reg add 'HKLM\Software\Wine\Ports' /v "$port" /t REG_SZ /d "$TIVREL_METER_DIR/$port" /f
done
wineserver -w

# Start Wine once more so its mount manager turns the registry values into
# the prefix's dosdevices links, and check the result.
step "applying the port mapping"
for port in COM1 COM2; do ln -sf /dev/null "$TIVREL_METER_DIR/$port"; done
wine cmd /c exit
wineserver -w
rm -f "$TIVREL_METER_DIR/COM1" "$TIVREL_METER_DIR/COM2"

wine reg query 'HKLM\Software\Wine\Ports'
ls -l "$WINEPREFIX/dosdevices/"
for port in com1 com2; do
    want="$TIVREL_METER_DIR/$(echo "$port" | tr "[:lower:]" "[:upper:]")"
    got=$(readlink "$WINEPREFIX/dosdevices/$port" || true)
    if [ "$got" != "$want" ]; then
        echo "setup: $port points to '$got', expected '$want'"
        exit 1
    fi
done
# No other COM port may lead to a real serial device (init.sh removes their
# nodes before Wine first looks).
for link in "$WINEPREFIX"/dosdevices/com*; do
    case $(readlink "$link") in
    /dev/*)
        echo "setup: $link points to a serial device: $(readlink "$link")"
        exit 1
        ;;
    esac
done
step "Wine $(wine --version) ready"
