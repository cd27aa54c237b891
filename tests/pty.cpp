#include "tests/pty.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

bool OpenPty(Pty* pty)
{
    int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    const char* name = nullptr;
    if (grantpt(fd) != 0 || unlockpt(fd) != 0 || (name = ptsname(fd)) == nullptr) {
        close(fd);
        return false;
    }
    pty->master = fd;
    pty->path = name;
    return true;
}

void ClosePty(Pty* pty)
{
    if (pty->master >= 0)
        close(pty->master);
    pty->master = -1;
}

bool SendToPort(const Pty& pty, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(pty.master, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += size_t(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        else
            usleep(1000);
    }
    return true;
}

std::string SentByPort(const Pty& pty)
{
    std::string got;
    char buf[256];
    ssize_t n;
    while ((n = read(pty.master, buf, sizeof buf)) > 0)
        got.append(buf, size_t(n));
    return got;
}
