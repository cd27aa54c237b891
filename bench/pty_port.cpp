#include "bench/pty_port.h"
#include "driver/build.h"
#include "driver/exports.h"
#include "meter/meter.h"
#include "serial/ucommw32.h"

#include <dirent.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

// The descriptor of this process that is open on `path`; -1 when there is none.
static int DescriptorOf(const std::string& path)
{
    int found = -1;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    while (dirent* e = readdir(dir)) {
        char link[64], target[PATH_MAX];
        snprintf(link, sizeof link, "/proc/self/fd/%s", e->d_name);
        ssize_t n = readlink(link, target, sizeof target - 1);
        if (n > 0) {
            target[n] = '\0';
            if (path == target)
                found = atoi(e->d_name);
        }
    }
    closedir(dir);
    return found;
}

bool SendAndWait(const Pty& meter, int fd, const char* line)
{
    if (!SendToPort(meter, line))
        return false;
    for (int i = 0; i < 10000; ++i) {
        int queued = 0;
        if (ioctl(fd, FIONREAD, &queued) == 0 && queued >= int(strlen(line)))
            return true;
        usleep(100);
    }
    return false;
}

bool OpenLibraryPort(Pty* meter, int* fd)
{
    if (!OpenPty(meter))
        return false;
    ResetMeter();
    SetText(PortName, PortNameCapacity, meter->path.c_str());
    SetText(PortMode, PortModeCapacity, BuildPortMode);
    OpenPort();
    *fd = DescriptorOf(meter->path);
    if (*fd < 0 || !SendAndWait(*meter, *fd, "pH  7.01   25.0 C\r\n"))
        return false;
    return ead(0) == 7.01;
}
