/*
 * meterctl.h: lets a Windows test program running under Wine in the VM lane
 * decide what the meter on a COM port sends, and when.
 *
 * The meter is meterpty (see meterpty.c for the command protocol), started
 * by the payload's run.sh with meter_start. It reads commands from the FIFO
 * /run/tivrel/meter-COMn.ctl and answers "ack" commands on the FIFO
 * /run/tivrel/meter-COMn.ack. Wine's Z: drive is the guest's /, so the
 * program reaches both as plain files. Header only, C or C++:
 *
 *   tivrel_meter m;
 *   if (tivrel_meter_open(&m, "COM1") != 0) { puts(m.error); return 1; }
 *   tivrel_meter_text(&m, "7.00 pH\\r\\n");    // escapes are meterpty's
 *   tivrel_meter_send(&m, bytes, len);        // any bytes
 *   tivrel_meter_cmd(&m, "sleep 500");        // any protocol line
 *   if (tivrel_meter_sync(&m) != 0) ...       // all of it is in the port now
 *   tivrel_meter_close(&m);
 *
 * Every function returns 0 on success, -1 on failure with a message in
 * m.error. tivrel_meter_sync blocks until the feeder answers; the VM run's
 * time bound covers a feeder that never does.
 */
#ifndef TIVREL_METERCTL_H
#define TIVREL_METERCTL_H

#include <windows.h>
#include <stdio.h>
#include <string.h>

#ifndef TIVREL_METER_DIR_WIN
#define TIVREL_METER_DIR_WIN "Z:\\run\\tivrel"
#endif

typedef struct {
    HANDLE ctl, ack;
    char port[16];
    unsigned seq;
    char pending[512]; /* ack bytes read past the end of the last answer */
    DWORD pending_len;
    char error[300];
} tivrel_meter;

static inline int tivrel_meter_fail_(tivrel_meter *m, const char *what)
{
    snprintf(m->error, sizeof m->error, "meter %s: %s (Windows error %lu)", m->port, what,
             (unsigned long)GetLastError());
    return -1;
}

static inline void tivrel_meter_close(tivrel_meter *m)
{
    if (m->ctl != INVALID_HANDLE_VALUE)
        CloseHandle(m->ctl);
    if (m->ack != INVALID_HANDLE_VALUE)
        CloseHandle(m->ack);
    m->ctl = m->ack = INVALID_HANDLE_VALUE;
}

static inline int tivrel_meter_open(tivrel_meter *m, const char *port)
{
    char path[MAX_PATH];
    memset(m, 0, sizeof *m);
    m->ctl = m->ack = INVALID_HANDLE_VALUE;
    snprintf(m->port, sizeof m->port, "%s", port);
    snprintf(path, sizeof path, "%s\\meter-%s.ctl", TIVREL_METER_DIR_WIN, port);
    m->ctl = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                         OPEN_EXISTING, 0, NULL);
    if (m->ctl == INVALID_HANDLE_VALUE)
        return tivrel_meter_fail_(m, "cannot open the control FIFO (is its feeder started?)");
    snprintf(path, sizeof path, "%s\\meter-%s.ack", TIVREL_METER_DIR_WIN, port);
    m->ack = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                         OPEN_EXISTING, 0, NULL);
    if (m->ack == INVALID_HANDLE_VALUE) {
        int r = tivrel_meter_fail_(m, "cannot open the ack FIFO");
        tivrel_meter_close(m);
        return r;
    }
    return 0;
}

/* One protocol line (without the newline). Lines up to 4000 bytes reach
 * the feeder in one piece. */
static inline int tivrel_meter_cmd(tivrel_meter *m, const char *line)
{
    char buf[4100];
    DWORD len = (DWORD)strlen(line), done = 0;
    if (len > 4000 || memchr(line, '\n', len)) {
        SetLastError(0);
        return tivrel_meter_fail_(m, "command too long or contains a newline");
    }
    memcpy(buf, line, len);
    buf[len++] = '\n';
    if (!WriteFile(m->ctl, buf, len, &done, NULL) || done != len)
        return tivrel_meter_fail_(m, "writing to the control FIFO failed");
    return 0;
}

/* Queues C-escaped text (\r \n \t \\ \0 \xHH), e.g. "7.00 pH\\r\\n". */
static inline int tivrel_meter_text(tivrel_meter *m, const char *escaped)
{
    char buf[4010];
    snprintf(buf, sizeof buf, "text %s", escaped);
    return tivrel_meter_cmd(m, buf);
}

/* Queues arbitrary bytes, split into protocol lines as needed. */
static inline int tivrel_meter_send(tivrel_meter *m, const void *data, size_t len)
{
    const unsigned char *p = (const unsigned char *)data;
    while (len > 0) {
        char buf[4010] = "send";
        size_t o = 4, n = len > 1000 ? 1000 : len, i;
        for (i = 0; i < n; i++)
            o += (size_t)snprintf(buf + o, sizeof buf - o, " %02x", p[i]);
        if (tivrel_meter_cmd(m, buf) != 0)
            return -1;
        p += n;
        len -= n;
    }
    return 0;
}

/* Waits until every command so far has been carried out: the bytes are in
 * the port's receive queue, so a read on the port sees them. Fails if the
 * feeder reports a malformed command. */
static inline int tivrel_meter_sync(tivrel_meter *m)
{
    char token[64], want[80];
    snprintf(token, sizeof token, "win%lu-%u", (unsigned long)GetCurrentProcessId(), ++m->seq);
    snprintf(want, sizeof want, "%s OK", token);
    {
        char cmd[80];
        snprintf(cmd, sizeof cmd, "ack %s", token);
        if (tivrel_meter_cmd(m, cmd) != 0)
            return -1;
    }
    for (;;) {
        char *nl = (char *)memchr(m->pending, '\n', m->pending_len);
        DWORD got = 0;
        if (nl) {
            size_t line_len = (size_t)(nl - m->pending);
            int match;
            *nl = 0;
            match = strcmp(m->pending, want) == 0;
            if (!match && strncmp(m->pending, token, strlen(token)) == 0) {
                SetLastError(0);
                snprintf(m->error, sizeof m->error, "meter %s: feeder answered: %s", m->port,
                         m->pending);
                match = -1;
            }
            memmove(m->pending, nl + 1, m->pending_len - line_len - 1);
            m->pending_len -= (DWORD)(line_len + 1);
            if (match == 1)
                return 0;
            if (match == -1)
                return -1;
            continue; /* an older answer: skip it */
        }
        if (m->pending_len == sizeof m->pending)
            m->pending_len = 0; /* no newline in a full buffer: garbage */
        if (!ReadFile(m->ack, m->pending + m->pending_len,
                      (DWORD)(sizeof m->pending - m->pending_len), &got, NULL) || got == 0)
            return tivrel_meter_fail_(m, "reading the ack FIFO failed");
        m->pending_len += got;
    }
}

#endif
