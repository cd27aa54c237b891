/*
 * Smoke test of the VM lane, as a 32-bit Windows console program under Wine:
 * opens COM1 and COM2 the way a serial driver does, has the meter feeder on
 * each port send bytes, and checks that exactly those bytes arrive, when
 * they should. On COM2 it also writes a few bytes, which run.sh then looks
 * for in the feeder's record (so an empty record on COM1 means something).
 * Exit status 0 when every check passed.
 */
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "meterctl.h"

static int passed, failed;

static void check(int ok, const char *port, const char *what)
{
    printf("%s - %s: %s\n", ok ? "ok" : "not ok", port, what);
    fflush(stdout);
    if (ok)
        passed++;
    else
        failed++;
}

static void show_bytes(const char *label, const unsigned char *p, DWORD n)
{
    DWORD i;
    printf("    %s (%lu):", label, (unsigned long)n);
    for (i = 0; i < n; i++)
        printf(" %02x", p[i]);
    printf("\n");
}

/* Reads until `want` bytes arrived or a read returns nothing (the port's
 * timeouts end it). */
static DWORD read_upto(HANDLE h, unsigned char *buf, DWORD want)
{
    DWORD total = 0, got;
    while (total < want) {
        got = 0;
        if (!ReadFile(h, buf + total, want - total, &got, NULL) || got == 0)
            break;
        total += got;
    }
    return total;
}

static int set_timeouts(HANDLE h, DWORD first_byte_ms)
{
    /* Return as soon as any byte is there, or after first_byte_ms with
     * nothing: how a polling driver reads a slow instrument. */
    COMMTIMEOUTS t;
    memset(&t, 0, sizeof t);
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = MAXDWORD;
    t.ReadTotalTimeoutConstant = first_byte_ms;
    return SetCommTimeouts(h, &t) != 0;
}

static void exercise(const char *port, const char *device_name, int also_write)
{
    tivrel_meter m;
    HANDLE h;
    DCB dcb;
    DWORD n, status = 0, start, elapsed;
    unsigned char buf[256];
    /* A reading line, then bytes a careless port setup would eat or change:
     * NUL, ^C (a terminal's interrupt), XON/XOFF, ^Z, DEL, 8-bit values,
     * and a lone CR and LF (no CR/LF translation). */
    static const unsigned char binary[] = { 0x00, 0x03, 0x11, 0x13, 0x1a, 0x7f,
                                            0x80, 0xff, '\r', 'x', '\n' };
    unsigned char expected[64];
    DWORD expected_len;

    if (tivrel_meter_open(&m, port) != 0) {
        check(0, port, m.error);
        return;
    }

    h = CreateFileA(device_name, also_write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ, 0,
                    NULL, OPEN_EXISTING, 0, NULL);
    check(h != INVALID_HANDLE_VALUE, port, "CreateFile opens the port");
    if (h == INVALID_HANDLE_VALUE) {
        printf("    error %lu opening %s\n", (unsigned long)GetLastError(), device_name);
        tivrel_meter_close(&m);
        return;
    }

    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    check(GetCommState(h, &dcb) != 0, port, "GetCommState");
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    check(SetCommState(h, &dcb) != 0, port, "SetCommState 9600 8N1, no flow control");
    check(set_timeouts(h, 300), port, "SetCommTimeouts");

    /* What a pty does with modem-line calls, for the record (a pty has no
     * modem lines); printed, not checked. */
    {
        int setup_ok = SetupComm(h, 1024, 1024) != 0;
        int purge_ok = PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR) != 0;
        int dtr_ok = EscapeCommFunction(h, SETDTR) != 0;
        DWORD dtr_err = dtr_ok ? 0 : GetLastError();
        int rts_ok = EscapeCommFunction(h, SETRTS) != 0;
        DWORD rts_err = rts_ok ? 0 : GetLastError();
        int modem_ok = GetCommModemStatus(h, &status) != 0;
        DWORD modem_err = modem_ok ? 0 : GetLastError();
        printf("    info: SetupComm %s, PurgeComm %s, EscapeCommFunction(SETDTR) %s (%lu), "
               "EscapeCommFunction(SETRTS) %s (%lu), GetCommModemStatus %s (%lu)\n",
               setup_ok ? "ok" : "fails", purge_ok ? "ok" : "fails", dtr_ok ? "ok" : "fails",
               (unsigned long)dtr_err, rts_ok ? "ok" : "fails", (unsigned long)rts_err,
               modem_ok ? "ok" : "fails", (unsigned long)modem_err);
    }

    /* Nothing was sent yet: a read waits out its timeout and returns empty. */
    start = GetTickCount();
    n = read_upto(h, buf, sizeof buf);
    elapsed = GetTickCount() - start;
    check(n == 0 && elapsed >= 250, port, "an idle port reads nothing after the timeout");
    if (n)
        show_bytes("unexpected", buf, n);

    /* Bytes sent and synced are there, exactly. */
    memcpy(expected, "7.00 pH\r\n", 9);
    memcpy(expected + 9, binary, sizeof binary);
    expected_len = 9 + sizeof binary;
    if (tivrel_meter_text(&m, "7.00 pH\\r\\n") != 0 ||
        tivrel_meter_send(&m, binary, sizeof binary) != 0 || tivrel_meter_sync(&m) != 0) {
        check(0, port, m.error);
    } else {
        n = read_upto(h, buf, expected_len + 8);
        check(n == expected_len && memcmp(buf, expected, n) == 0, port,
              "reads exactly the bytes the meter sent, binary ones included");
        if (n != expected_len || memcmp(buf, expected, n) != 0) {
            show_bytes("expected", expected, expected_len);
            show_bytes("got", buf, n);
        }
    }

    /* The meter decides when: a line sent 600 ms after the command arrives
     * during a blocking read, not before. */
    set_timeouts(h, 5000);
    start = GetTickCount();
    if (tivrel_meter_cmd(&m, "sleep 600") != 0 || tivrel_meter_text(&m, "late\\r\\n") != 0) {
        check(0, port, m.error);
    } else {
        n = read_upto(h, buf, 6);
        elapsed = GetTickCount() - start;
        check(n == 6 && memcmp(buf, "late\r\n", 6) == 0 && elapsed >= 550, port,
              "a delayed line arrives after the meter's delay");
        if (n != 6 || elapsed < 550) {
            show_bytes("got", buf, n);
            printf("    after %lu ms\n", (unsigned long)elapsed);
        }
    }

    if (also_write) {
        n = 0;
        check(WriteFile(h, "PING\r", 5, &n, NULL) && n == 5, port, "WriteFile of 5 bytes");
    }

    check(CloseHandle(h) != 0, port, "CloseHandle");
    tivrel_meter_close(&m);
}

int main(void)
{
    /* "COM1" and "\\.\COM2": the two ways a program names a port. */
    exercise("COM1", "COM1", 0);
    exercise("COM2", "\\\\.\\COM2", 1);
    printf("comread: %d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
