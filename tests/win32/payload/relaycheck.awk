# Checks the port set-up of each DLL in a Wine relay trace (WINEDEBUG=+relay).
#
#   awk -f relaycheck.awk RANGES RELAY_LOG
#
# RANGES holds "range NAME LOW HIGH" lines (hex), the address range of each loaded DLL as
# hostcheck prints it; only calls whose return address lies in a DLL's range are that DLL's.
# For tivrelN.dll the calls must begin with the set-up of port "ComN:" in this order:
#   CreateFileA("ComN:", GENERIC_READ|GENERIC_WRITE, share 0, no security, OPEN_EXISTING,
#               FILE_ATTRIBUTE_NORMAL, no template)
#   SetupComm(h, 256, 256)  GetCommState(h)  BuildCommDCBA("baud=4800 parity=n data=8 stop=1")
#   SetCommState(h)  SetCommTimeouts(h)
# and the DLL may call nothing but those, ClearCommError and ReadFile on the same handle, and
# CloseHandle: in particular nothing that writes to the port.
# Prints one line per failed check and "relay: N passed, M failed"; exits 1 on a failure.

function hex(s,    i, c, v) {
    v = 0
    s = tolower(s)
    for (i = 1; i <= length(s); i++) {
        c = index("0123456789abcdef", substr(s, i, 1))
        if (c == 0)
            return -1
        v = v * 16 + c - 1
    }
    return v
}

function owner(address,    k) {
    for (k = 1; k <= n; k++)
        if (address >= lo[k] && address < hi[k])
            return k
    return 0
}

function check(ok, what) {
    if (ok)
        passed++
    else {
        failed++
        print "FAIL relay: " what
    }
}

# The call's return address and function name (module prefix dropped), its argument text.
function parse(line) {
    if (!match(line, / ret=[0-9a-fA-F]+$/))
        return 0
    ret = hex(substr(line, RSTART + 5, RLENGTH - 5))
    body = line
    sub(/^[^ ]*:(Call|Ret) +/, "", body)
    name = body
    sub(/\(.*$/, "", name)
    sub(/^.*\./, "", name)
    arglist = body
    sub(/^[^(]*\(/, "", arglist)
    sub(/\)[^)]*$/, "", arglist)
    return 1
}

# Windows programs end their lines with CR LF.
{
    sub(/\r$/, "")
}

FNR == NR {
    if ($1 == "range") {
        n++
        dll[n] = $2
        lo[n] = hex($3)
        hi[n] = hex($4)
    }
    next
}

/:Call / {
    if (!parse($0) || !(k = owner(ret)))
        next
    count[k]++
    fn[k, count[k]] = name
    args[k, count[k]] = arglist
    if (name == "CreateFileA")
        pendingCreate[k] = ret
    next
}

/:Ret / {
    if (!parse($0) || !(k = owner(ret)))
        next
    if (name == "CreateFileA" && match($0, /retval=[0-9a-fA-F]+/))
        handle[k] = substr($0, RSTART + 7, RLENGTH - 7)
    next
}

END {
    allowed = " CreateFileA SetupComm GetCommState BuildCommDCBA SetCommState SetCommTimeouts ClearCommError ReadFile CloseHandle "
    check(n == 2, "expected the ranges of tivrel1.dll and tivrel2.dll, got " n " range(s)")
    for (k = 1; k <= n; k++) {
        d = dll[k]
        port = d
        sub(/^tivrel/, "", port)
        sub(/\.dll$/, "", port)
        h = handle[k]
        check(count[k] > 0, d ": no calls from the DLL in the trace")
        if (!count[k])
            continue

        order = "CreateFileA SetupComm GetCommState BuildCommDCBA SetCommState SetCommTimeouts"
        got = ""
        for (i = 1; i <= 6 && i <= count[k]; i++)
            got = got (i > 1 ? " " : "") fn[k, i]
        check(got == order, d ": the set-up calls are \"" got "\", expected \"" order "\"")

        creates = reads = closes = 0
        for (i = 1; i <= count[k]; i++) {
            f = fn[k, i]
            a = args[k, i]
            split(a, field, ",")
            check(index(allowed, " " f " ") > 0, d ": calls " f "(" a ")")
            if (f == "CreateFileA") {
                creates++
                check(field[1] ~ ("\"Com" port ":\"$"), d ": CreateFileA of " field[1] ", expected \"Com" port ":\"")
                check(field[2] == "c0000000", d ": CreateFileA access " field[2] ", expected c0000000")
                check(field[3] == "00000000", d ": CreateFileA share mode " field[3] ", expected 0")
                check(field[4] == "00000000", d ": CreateFileA security attributes " field[4] ", expected none")
                check(field[5] == "00000003", d ": CreateFileA disposition " field[5] ", expected OPEN_EXISTING")
                check(field[6] == "00000080", d ": CreateFileA attributes " field[6] ", expected FILE_ATTRIBUTE_NORMAL")
                check(field[7] == "00000000", d ": CreateFileA template " field[7] ", expected none")
            } else if (f == "SetupComm") {
                check(a == h ",00000100,00000100", d ": SetupComm(" a "), expected (" h ",00000100,00000100)")
            } else if (f == "BuildCommDCBA") {
                check(field[1] ~ /"baud=4800 parity=n data=8 stop=1"$/, d ": BuildCommDCBA(" a ")")
            } else if (f == "ReadFile" || f == "ClearCommError" || f == "GetCommState" ||
                       f == "SetCommState" || f == "SetCommTimeouts") {
                check(field[1] == h, d ": " f " on handle " field[1] ", the port is " h)
                if (f == "ReadFile")
                    reads++
            } else if (f == "CloseHandle") {
                check(field[1] == h, d ": CloseHandle(" field[1] "), the port is " h)
                closes++
            }
        }
        check(creates == 1, d ": " creates " CreateFileA calls, expected 1")
        check(h != "" && h != "ffffffff", d ": CreateFileA returned " (h == "" ? "nothing" : h))
        check(reads > 0, d ": never read the port")
        check(closes == 1, d ": closed the port " closes " time(s) on unload, expected once")
    }
    print "relay: " passed + 0 " passed, " failed + 0 " failed"
    exit failed ? 1 : 0
}
