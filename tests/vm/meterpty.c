/*
 * meterpty: a scripted stand-in for the meter on one serial port, for the
 * 32-bit Wine VM test lane.
 *
 * It opens a pseudo-terminal, puts it in raw mode and publishes the slave
 * side under a fixed path that Wine's registry maps to a COM port. What the
 * "meter" sends is decided by the test, one command at a time, through a
 * control FIFO; everything the program under test writes to the port is
 * recorded, so a test can prove that nothing was ever written.
 *
 * Usage:  meterpty [-f] DIR NAME          (e.g. meterpty /run/tivrel COM1)
 *
 * Files it creates in DIR (old ones are replaced):
 *   NAME                symlink to the pty slave (/dev/pts/N); Wine's COM
 *                       port points here. Created last, so once it exists
 *                       the feeder is ready.
 *   meter-NAME.ctl      FIFO: commands in, one per line (see below)
 *   meter-NAME.ack      FIFO: answers to "ack" commands come out here
 *   meter-NAME.written  every byte that arrived from the port user, raw
 * A trace of what happened, with times, goes to stderr.
 * The "meter-" prefix matters to a Windows program that opens these files
 * through Wine: a file name whose base is a device name ("COM1.ctl") means
 * the device itself on Windows, and Wine does the same.
 *
 * Without -f it returns once everything is in place, prints the PID of the
 * feeder process that stays behind, and that process keeps serving until it
 * gets "quit" or SIGTERM. With -f it stays in the foreground.
 *
 * Control protocol (text lines on meter-NAME.ctl, at most 4000 bytes per
 * line so that each write to the FIFO is atomic; several writers may share
 * it):
 *   send HEX...     queue these bytes for the port, as hex pairs; spaces
 *                   between pairs are allowed ("send 37 2e 30 30 0d 0a")
 *   text STRING     queue the rest of the line after one space, with C escapes
 *                   \r \n \t \\ \0 and \xHH ("text 7.00 pH\r\n")
 *   sleep MS        wait MS milliseconds before the next command
 *   ack TOKEN       once everything before it has been written to the pty
 *                   and shows in the port's receive queue (so a read on the
 *                   port, and a query of what is waiting, will see it; see
 *                   wait_until_queued), write "TOKEN OK\n" to meter-NAME.ack,
 *                   or "TOKEN ERR <reason>\n" if a command since the previous
 *                   ack was malformed
 *   quit            stop; the symlink is removed
 *   # ...           comment; blank lines are ignored
 * Commands run strictly in order: a command is not read before the bytes of
 * the previous ones have been handed to the pty.
 *
 * The slave stays open in this process as well. That keeps the pty alive
 * while the program under test has the port closed (bytes sent then wait in
 * the receive queue, and the master never reports a hang-up), and keeps the
 * raw settings in place between opens.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define MAX_LINE 4096

static struct timespec t0;
static volatile sig_atomic_t stop_requested;

static long long now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)(t.tv_sec - t0.tv_sec) * 1000 + (t.tv_nsec - t0.tv_nsec) / 1000000;
}

static void trace(const char *fmt, ...)
{
    char buf[MAX_LINE * 3 + 64];
    int n = snprintf(buf, sizeof buf, "[%7lld ms] ", now_ms());
    va_list ap;
    va_start(ap, fmt);
    n += vsnprintf(buf + n, sizeof buf - n - 1, fmt, ap);
    va_end(ap);
    if (n > (int)sizeof buf - 2)
        n = (int)sizeof buf - 2;
    buf[n++] = '\n';
    /* One write per line keeps the trace readable even if it is shared. */
    (void)!write(2, buf, n);
}

static void die(const char *what)
{
    trace("fatal: %s: %s", what, strerror(errno));
    exit(1);
}

static void hexdump(char *out, size_t outsz, const unsigned char *p, size_t n)
{
    size_t o = 0;
    for (size_t i = 0; i < n && o + 4 < outsz; i++)
        o += snprintf(out + o, outsz - o, "%s%02x", i ? " " : "", p[i]);
    out[o] = 0;
}

/* Write all of buf, retrying on EINTR; for the record file and the ack FIFO. */
static int write_all(int fd, const void *buf, size_t n)
{
    const char *p = buf;
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

static int hexval(int c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* "send" argument: hex pairs, optionally separated by blanks. */
static int parse_hex(const char *s, unsigned char *out, size_t *outlen)
{
    size_t n = 0;
    while (*s) {
        if (*s == ' ' || *s == '\t') { s++; continue; }
        int hi = hexval((unsigned char)s[0]);
        int lo = s[1] ? hexval((unsigned char)s[1]) : -1;
        if (hi < 0 || lo < 0)
            return -1;
        out[n++] = (unsigned char)(hi << 4 | lo);
        s += 2;
    }
    *outlen = n;
    return 0;
}

/* "text" argument: C-style escapes for the bytes a meter line needs. */
static int parse_text(const char *s, unsigned char *out, size_t *outlen)
{
    size_t n = 0;
    while (*s) {
        if (*s != '\\') { out[n++] = (unsigned char)*s++; continue; }
        s++;
        switch (*s) {
        case 'r': out[n++] = '\r'; s++; break;
        case 'n': out[n++] = '\n'; s++; break;
        case 't': out[n++] = '\t'; s++; break;
        case '0': out[n++] = 0; s++; break;
        case '\\': out[n++] = '\\'; s++; break;
        case 'x': {
            int hi = hexval((unsigned char)s[1]);
            int lo = hi >= 0 ? hexval((unsigned char)s[2]) : -1;
            if (lo < 0)
                return -1;
            out[n++] = (unsigned char)(hi << 4 | lo);
            s += 3;
            break;
        }
        default:
            return -1;
        }
    }
    *outlen = n;
    return 0;
}

/* Bytes waiting in the pty's receive queue, as the port user's "how many
 * bytes are waiting" query (TIOCINQ) sees them; -1 if unknown. */
static int input_queued(int slave)
{
    int n;
    return ioctl(slave, FIONREAD, &n) == 0 ? n : -1;
}

/* Bytes written to the master reach the slave's receive queue a little
 * later (the kernel hands them over from a work queue), so right after the
 * write a query of the queue may still report nothing. A port user that
 * polls the queue before reading would then miss bytes that were acked.
 * Waits until the queue holds `want` bytes, gives up early when the queue
 * shrinks (someone is reading it), and after 2 s at most. */
static void wait_until_queued(int slave, long want)
{
    long long deadline = now_ms() + 2000;
    int last = -1;
    for (;;) {
        int q = input_queued(slave);
        if (q < 0 || q >= want || q < last)
            return;
        if (now_ms() >= deadline) {
            trace("ack: only %d of %ld byte(s) in the receive queue after 2 s", q, want);
            return;
        }
        last = q;
        struct timespec ms = { 0, 1000000 };
        nanosleep(&ms, NULL);
    }
}

static void on_signal(int sig)
{
    (void)sig;
    stop_requested = 1;
}

static char *path_in(const char *dir, const char *prefix, const char *name, const char *suffix)
{
    char *p;
    if (asprintf(&p, "%s/%s%s%s", dir, prefix, name, suffix) < 0)
        die("asprintf");
    return p;
}

/* A FIFO held open for both reading and writing: opening it never blocks,
 * a reader never sees end-of-file when a writer goes away, and a writer never
 * gets EPIPE when no reader is there. */
static int make_fifo(const char *path)
{
    unlink(path);
    if (mkfifo(path, 0666) < 0)
        die(path);
    /* mkfifo honours the umask; anyone in the guest may drive the meter. */
    chmod(path, 0666);
    int fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        die(path);
    return fd;
}

int main(int argc, char **argv)
{
    int foreground = 0;
    if (argc > 1 && strcmp(argv[1], "-f") == 0) {
        foreground = 1;
        argv++;
        argc--;
    }
    if (argc != 3) {
        fprintf(stderr, "usage: meterpty [-f] DIR NAME\n");
        return 2;
    }
    const char *dir = argv[1], *name = argv[2];
    clock_gettime(CLOCK_MONOTONIC, &t0);

    char *link_path = path_in(dir, "", name, "");
    char *ctl_path = path_in(dir, "meter-", name, ".ctl");
    char *ack_path = path_in(dir, "meter-", name, ".ack");
    char *rec_path = path_in(dir, "meter-", name, ".written");

    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) < 0 || unlockpt(master) < 0)
        die("posix_openpt");
    const char *slave_name = ptsname(master);
    if (!slave_name)
        die("ptsname");
    int slave = open(slave_name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0)
        die(slave_name);
    struct termios tio;
    if (tcgetattr(slave, &tio) < 0)
        die("tcgetattr");
    /* Raw: no echo (an echo would show up as "written" bytes), no CR/LF
     * translation, no line buffering; the port user sees the exact bytes. */
    cfmakeraw(&tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    if (tcsetattr(slave, TCSANOW, &tio) < 0)
        die("tcsetattr");
    if (fcntl(master, F_SETFL, O_NONBLOCK) < 0)
        die("fcntl");

    int rec = open(rec_path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (rec < 0)
        die(rec_path);
    int ctl = make_fifo(ctl_path);
    int ack = make_fifo(ack_path);

    /* The symlink is the readiness signal, so it comes last and appears
     * atomically (rename over any old one). */
    char *tmp_link = path_in(dir, "meter-", name, ".tmp-link");
    unlink(tmp_link);
    if (symlink(slave_name, tmp_link) < 0 || rename(tmp_link, link_path) < 0)
        die(link_path);
    trace("%s ready: %s -> %s", name, link_path, slave_name);

    if (!foreground) {
        pid_t pid = fork();
        if (pid < 0)
            die("fork");
        if (pid > 0) {
            printf("%d\n", (int)pid);
            return 0;
        }
        /* Let go of the caller's stdin/stdout so that "$(meterpty ...)" in a
         * shell returns; stderr stays, it carries the trace. */
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
            if (null > 2)
                close(null);
        }
        setsid();
    }

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
    signal(SIGPIPE, SIG_IGN);

    static char line[MAX_LINE + 1];
    size_t line_len = 0;
    int line_too_long = 0;
    static unsigned char out[MAX_LINE];
    size_t out_len = 0, out_off = 0;
    long long sleep_until = -1;
    /* Receive-queue count before the first write since the last ack, and the
     * bytes written since: the queue an ack waits for (wait_until_queued). */
    int queued_at_first_write = 0;
    long written_since_ack = 0;
    char first_error[256] = "";
    int errors = 0;
    int quit = 0;

    while (!quit && !stop_requested) {
        int busy = out_off < out_len || sleep_until >= 0;
        struct pollfd pf[2] = {
            { .fd = master, .events = POLLIN | (out_off < out_len ? POLLOUT : 0) },
            /* Commands are read only when the previous one is finished. */
            { .fd = busy ? -1 : ctl, .events = POLLIN },
        };
        int timeout = -1;
        if (sleep_until >= 0) {
            long long left = sleep_until - now_ms();
            timeout = left > 0 ? (int)left : 0;
        }
        if (poll(pf, 2, timeout) < 0) {
            if (errno == EINTR)
                continue;
            die("poll");
        }

        if (pf[0].revents & POLLIN) {
            unsigned char buf[4096];
            ssize_t n = read(master, buf, sizeof buf);
            if (n > 0) {
                char hex[sizeof buf * 3 + 1];
                hexdump(hex, sizeof hex, buf, (size_t)n);
                trace("port user wrote %zd byte(s): %s", n, hex);
                if (write_all(rec, buf, (size_t)n) < 0)
                    die(rec_path);
            }
        }
        if (out_off < out_len && (pf[0].revents & POLLOUT)) {
            if (written_since_ack == 0)
                queued_at_first_write = input_queued(slave);
            ssize_t n = write(master, out + out_off, out_len - out_off);
            if (n > 0) {
                out_off += (size_t)n;
                written_since_ack += n;
            }
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                die("write to pty");
            if (out_off == out_len)
                out_len = out_off = 0;
        }
        if (sleep_until >= 0 && now_ms() >= sleep_until)
            sleep_until = -1;

        /* Take complete command lines one at a time; read the FIFO only when
         * no complete line is buffered, so commands stay in order. */
        while (!quit && out_len == 0 && sleep_until < 0) {
            char *nl = memchr(line, '\n', line_len);
            if (!nl) {
                if (!(pf[1].revents & POLLIN))
                    break;
                pf[1].revents = 0;
                ssize_t n = read(ctl, line + line_len, MAX_LINE - line_len);
                if (n <= 0)
                    break;
                line_len += (size_t)n;
                nl = memchr(line, '\n', line_len);
                if (!nl && line_len == MAX_LINE) {
                    /* Drop an overlong line rather than splitting it into
                     * two commands, and report it at the next ack. */
                    line_len = 0;
                    line_too_long = 1;
                    continue;
                }
                if (!nl)
                    continue;
            }
            *nl = 0;
            size_t used = (size_t)(nl - line) + 1;
            char cmd[MAX_LINE + 1];
            memcpy(cmd, line, used);
            memmove(line, line + used, line_len - used);
            line_len -= used;
            if (line_too_long) {
                /* This is the tail of the dropped line. */
                line_too_long = 0;
                if (!errors++)
                    snprintf(first_error, sizeof first_error, "command line too long");
                trace("error: command line too long, dropped");
                continue;
            }

            size_t cl = strlen(cmd);
            if (cl && cmd[cl - 1] == '\r')
                cmd[--cl] = 0;
            char *arg = strchr(cmd, ' ');
            if (arg)
                *arg++ = 0;
            else
                arg = cmd + cl;

            int bad = 0;
            if (cmd[0] == 0 || cmd[0] == '#') {
                /* nothing */
            } else if (strcmp(cmd, "send") == 0 || strcmp(cmd, "text") == 0) {
                int r = cmd[0] == 's' ? parse_hex(arg, out, &out_len)
                                      : parse_text(arg, out, &out_len);
                if (r < 0) {
                    out_len = 0;
                    bad = 1;
                } else {
                    char hex[MAX_LINE * 3 + 1];
                    hexdump(hex, sizeof hex, out, out_len);
                    trace("send %zu byte(s): %s", out_len, hex);
                    out_off = 0;
                    /* Try at once; poll() handles a full pty. */
                    if (written_since_ack == 0)
                        queued_at_first_write = input_queued(slave);
                    ssize_t n = out_len ? write(master, out, out_len) : 0;
                    if (n > 0) {
                        out_off = (size_t)n;
                        written_since_ack += n;
                    }
                    if (out_off == out_len)
                        out_len = out_off = 0;
                }
            } else if (strcmp(cmd, "sleep") == 0) {
                char *end;
                long ms = strtol(arg, &end, 10);
                if (end == arg || *end || ms < 0) {
                    bad = 1;
                } else {
                    trace("sleep %ld ms", ms);
                    sleep_until = now_ms() + ms;
                }
            } else if (strcmp(cmd, "ack") == 0) {
                if (written_since_ack > 0)
                    wait_until_queued(slave, (queued_at_first_write > 0 ? queued_at_first_write : 0) +
                                                 written_since_ack);
                written_since_ack = 0;
                char reply[MAX_LINE + 300];
                int n = errors
                    ? snprintf(reply, sizeof reply, "%s ERR %d bad command(s), first: %s\n",
                               arg, errors, first_error)
                    : snprintf(reply, sizeof reply, "%s OK\n", arg);
                trace("ack %s -> %s", arg, errors ? "ERR" : "OK");
                if (n > (int)sizeof reply - 1)
                    n = (int)sizeof reply - 1;
                if (write(ack, reply, (size_t)n) != n)
                    trace("error: ack FIFO full or broken, answer dropped");
                errors = 0;
                first_error[0] = 0;
            } else if (strcmp(cmd, "quit") == 0) {
                trace("quit");
                quit = 1;
            } else {
                bad = 1;
            }
            if (bad) {
                trace("error: bad command: %s %s", cmd, arg);
                if (!errors++)
                    snprintf(first_error, sizeof first_error, "%.100s %.100s", cmd, arg);
            }
        }
    }

    unlink(link_path);
    trace("%s stopped", name);
    return 0;
}
