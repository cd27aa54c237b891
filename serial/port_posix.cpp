// The serial seam on POSIX systems: termios on a tty device.
#include "serial/port.h"
#include "serial/port_posix.h"
#include "serial/ucommw32.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

// "ComN:" (any case, colon optional) names /dev/ttyS(N-1); anything else is a device path.
void DevicePath(const char* name, char* path, size_t capacity)
{
    if (Lower(name[0]) == 'c' && Lower(name[1]) == 'o' && Lower(name[2]) == 'm') {
        const char* p = name + 3;
        unsigned n = 0;
        unsigned digits = 0;
        for (; *p >= '0' && *p <= '9' && digits < 6; ++p, ++digits)
            n = n * 10 + unsigned(*p - '0');
        if (*p == ':')
            ++p;
        if (digits > 0 && *p == '\0' && n >= 1) {
            snprintf(path, capacity, "/dev/ttyS%u", n - 1);
            return;
        }
    }
    snprintf(path, capacity, "%s", name);
}

speed_t BaudConstant(unsigned baud)
{
    switch (baud) {
    case 110: return B110;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B0;
    }
}

} // namespace

void ApplyMode(termios* t, const char* mode)
{
    const char* p = mode;
    while (*p != '\0') {
        while (*p == ' ')
            ++p;
        char key[16] = {};
        char value[16] = {};
        unsigned k = 0;
        for (; *p != '\0' && *p != '=' && *p != ' '; ++p)
            if (k + 1 < sizeof key)
                key[k++] = Lower(*p);
        if (*p != '=') // a word without a value
            continue;
        ++p;
        unsigned v = 0;
        for (; *p != '\0' && *p != ' '; ++p)
            if (v + 1 < sizeof value)
                value[v++] = Lower(*p);

        if (strcmp(key, "baud") == 0) {
            unsigned baud = 0;
            for (const char* d = value; *d >= '0' && *d <= '9'; ++d)
                baud = baud * 10 + unsigned(*d - '0');
            speed_t s = BaudConstant(baud);
            if (s != B0) {
                cfsetispeed(t, s);
                cfsetospeed(t, s);
            }
        } else if (strcmp(key, "parity") == 0) {
            if (value[0] == 'n') {
                t->c_cflag &= ~tcflag_t(PARENB | PARODD);
            } else if (value[0] == 'e') {
                t->c_cflag = (t->c_cflag | PARENB) & ~tcflag_t(PARODD);
            } else if (value[0] == 'o') {
                t->c_cflag |= PARENB | PARODD;
            }
        } else if (strcmp(key, "data") == 0) {
            static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
            if (value[0] >= '5' && value[0] <= '8' && value[1] == '\0')
                t->c_cflag = (t->c_cflag & ~tcflag_t(CSIZE)) | sizes[value[0] - '5'];
        } else if (strcmp(key, "stop") == 0) {
            if (strcmp(value, "1") == 0)
                t->c_cflag &= ~tcflag_t(CSTOPB);
            else if (strcmp(value, "2") == 0)
                t->c_cflag |= CSTOPB;
        }
    }
}

PortHandle PlatformOpen(const char* name, const char* mode, uint16_t timeoutMs)
{
    char path[256];
    DevicePath(name, path, sizeof path);

    // O_NONBLOCK: don't wait for carrier during the open; cleared again below.
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return NoPort;

    // Exclusive use: flock keeps out other openers that lock (and closes the race between
    // open and TIOCEXCL); TIOCEXCL keeps out plain opens by non-root processes.
    if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        close(fd);
        return NoPort;
    }

    termios t;
    if (tcgetattr(fd, &t) == 0) {
        // Raw bytes in, nothing transformed, nothing ever echoed or sent (no ECHO, no XOFF).
        cfmakeraw(&t);
        t.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                               IXON | IXOFF | IXANY);
        t.c_oflag &= ~tcflag_t(OPOST);
        t.c_lflag &= ~tcflag_t(ISIG | ICANON | ECHO | ECHONL | IEXTEN);
        t.c_cflag &= ~tcflag_t(CRTSCTS | CSIZE | PARENB | PARODD | CSTOPB);
        t.c_cflag |= CLOCAL | CREAD | CS8;
        ApplyMode(&t, mode);
        // A read that finds nothing returns after the time-out (VTIME counts tenths of seconds).
        unsigned tenths = (timeoutMs + 99) / 100;
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = cc_t(tenths > 255 ? 255 : tenths);
        tcsetattr(fd, TCSANOW, &t);
    }

    int flags = fcntl(fd, F_GETFL);
    if (flags != -1)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

POLL_PATH bool PlatformQueued(PortHandle port, uint32_t* count)
{
    int n = 0;
    if (ioctl(int(port), FIONREAD, &n) != 0 || n < 0)
        return false;
    *count = uint32_t(n);
    return true;
}

unsigned PlatformRead(PortHandle port, unsigned char* buffer, unsigned n)
{
    for (;;) {
        ssize_t got = read(int(port), buffer, n);
        if (got >= 0)
            return unsigned(got);
        if (errno != EINTR)
            return 0; // EIO after a hang-up, for instance
    }
}

void PlatformClose(PortHandle port)
{
    int fd = int(port);
    // Leave the device openable for the next user: a tty that outlives this descriptor keeps
    // its exclusive flag otherwise.
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    close(fd);
}
