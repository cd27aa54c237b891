# Sourced by scripts/demo.sh and tests/wine/run.sh: a private 64-bit Wine prefix whose COM1
# and COM2 lead where the caller says, never to the machine's serial devices.
#
# Wine maps COMn to /dev/ttyS(n-1) at every start unless HKLM\Software\Wine\Ports names
# another device. The prefix's registry is therefore written before Wine first starts in it,
# and the links Wine made are checked before anything can open a port. (Wine still links a
# spare COM3 to the first /dev/ttyS* it finds; nothing here opens COM3.)

WINE64=$(command -v wine64 || echo /usr/lib/wine/wine64)
WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver)

# Quiet, headless, and no offer to install Mono or Gecko.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# wine_prefix_create PREFIX COM1 COM2 [RELAY_MODULES]
# Makes a fresh prefix in the (new or empty) folder PREFIX with COM1 and COM2 mapped to the
# given paths; a path that does not exist is a missing port. RELAY_MODULES (e.g.
# "tivrel1;tivrel2") limits a WINEDEBUG=+relay trace to the calls those modules make.
# Its log is PREFIX.boot.log. Returns non-zero, with a message, on failure.
wine_prefix_create() {
    _prefix=$1 _com1=$2 _com2=$3 _relay=${4:-}
    case "$_com1$_com2$_relay" in
    *\"* | *\\*) echo "wine-com: no quotes or backslashes in port paths" >&2; return 1 ;;
    esac
    mkdir -p "$_prefix" || return 1
    if [ -n "$(ls -A "$_prefix")" ]; then
        echo "wine-com: $_prefix is not empty" >&2
        return 1
    fi
    cat >"$_prefix/system.reg" <<EOF
WINE REGISTRY Version 2
;; All keys relative to \\\\Machine

#arch=win64

[Software\\\\Wine\\\\Ports]
"COM1"="$_com1"
"COM2"="$_com2"
EOF
    if [ -n "$_relay" ]; then
        cat >"$_prefix/user.reg" <<EOF
WINE REGISTRY Version 2
;; All keys relative to \\\\User\\\\S-1-5-21-0-0-0-1000

#arch=win64

[Software\\\\Wine\\\\Debug]
"RelayFromInclude"="$_relay"
EOF
    fi
    if ! WINEPREFIX=$_prefix timeout 120 "$WINE64" wineboot -i </dev/null >"$_prefix.boot.log" 2>&1; then
        echo "wine-com: wineboot failed in $_prefix (log: $_prefix.boot.log)" >&2
        return 1
    fi
    for _n in 1 2; do
        eval "_want=\$_com$_n"
        _got=$(readlink "$_prefix/dosdevices/com$_n")
        if [ "$_got" != "$_want" ]; then
            echo "wine-com: COM$_n of $_prefix leads to '$_got', not '$_want'" >&2
            return 1
        fi
    done
}

# wine_prefix_stop PREFIX: ends every Wine process of the prefix and its wineserver.
wine_prefix_stop() {
    [ -d "$1" ] || return 0
    WINEPREFIX=$1 "$WINESERVER" -k >/dev/null 2>&1
    WINEPREFIX=$1 timeout 20 "$WINESERVER" -w >/dev/null 2>&1
    return 0
}
