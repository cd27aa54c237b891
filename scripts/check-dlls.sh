#!/bin/sh
# Checks the built Windows DLLs and Linux libraries from the files themselves:
#  - the win32 DLLs are PE32 i386; every DLL imports from KERNEL32.dll alone (no C runtime);
#  - no code writes the x87 control word or MXCSR, resets the x87 unit or clears the host's
#    exception flags;
#  - each library exports exactly the names and ordinals of driver/exports.txt.
set -u
cd "$(dirname "$0")/.."
status=0
fail() { echo "check-dlls: $*" >&2; status=1; }

# "name ordinal" lines, sorted, from the export list.
expected=$(grep -E '^[a-z]' driver/exports.txt | awk '{print $1, $2}' | sort)
[ "$(echo "$expected" | wc -l)" -eq 58 ] || fail "driver/exports.txt does not list 58 exports"
[ "$(echo "$expected" | awk '{print $2}' | sort -n | uniq | tr '\n' ' ')" = "$(seq 1 58 | tr '\n' ' ')" ] ||
    fail "driver/exports.txt: ordinals are not exactly 1 to 58"

# x87/SSE state changes no export may make.
forbidden='fldcw|fninit|finit|fnclex|fclex|fldenv|fnsave|fsave|frstor|fxrstor|xrstor|ldmxcsr'

for target in win32 win64; do
    case $target in
        win32) objdump=i686-w64-mingw32-objdump; format='^PE32 executable \(DLL\).*Intel 80386' ;;
        win64) objdump=x86_64-w64-mingw32-objdump; format='^PE32\+ executable \(DLL\).*x86-64' ;;
    esac
    for dll in dist/$target/tivrel1.dll dist/$target/tivrel2.dll; do
        [ -f "$dll" ] || { fail "$dll is missing"; continue; }
        file -b "$dll" | grep -Eq "$format" || fail "$dll: not the expected format: $(file -b "$dll")"

        imports=$($objdump -p "$dll" | sed -n 's/^\s*DLL Name: //p' | sort -u | tr '\n' ' ')
        [ "$imports" = "KERNEL32.dll " ] || fail "$dll imports from: $imports"

        hits=$($objdump -d "$dll" | grep -Ew "$forbidden")
        [ -z "$hits" ] || fail "$dll changes the floating-point state:
$hits"

        # The name table lists "[index] name" with index = ordinal - base; the base is 1.
        base=$($objdump -p "$dll" | sed -n 's/^Ordinal Base\s*//p')
        [ "$base" = 1 ] || fail "$dll: ordinal base is '$base', not 1"
        actual=$($objdump -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
            sed -n 's/^\s*\[\s*\([0-9]*\)\] \([a-z]*\)$/\2 \1/p' | awk '{print $1, $2 + 1}' | sort)
        [ "$actual" = "$expected" ] || fail "$dll: exports differ from driver/exports.txt:
$(printf '%s\n' "$expected" > /tmp/check-dlls.$$; printf '%s\n' "$actual" | diff /tmp/check-dlls.$$ -; rm -f /tmp/check-dlls.$$)"
    done
done

names=$(echo "$expected" | awk '{print $1}' | sort)
for so in dist/linux/tivrel1.so dist/linux/tivrel2.so; do
    [ -f "$so" ] || { fail "$so is missing"; continue; }
    actual=$(nm -D --defined-only "$so" | awk '$2 == "T" {print $3}' | sort)
    [ "$actual" = "$names" ] || fail "$so: exported functions differ from driver/exports.txt"
done

[ $status -eq 0 ] && echo "check-dlls: all libraries pass"
exit $status
