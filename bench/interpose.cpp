// Defined here, malloc and friends and ioctl, read and write take the place of the C library's
// for the whole program (the library objects linked into it included). The system calls are
// made directly; the allocations go to glibc's own allocator. No C library header that declares
// these functions is included, so the definitions need not repeat its attributes.
#include "bench/interpose.h"

#include <stdarg.h>
#include <stddef.h>
#include <sys/syscall.h>
#include <sys/types.h>

extern "C" {
long syscall(long number, ...);
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
}

namespace {
int watched = -1;
bool counting;
interpose::Counts counts;
} // namespace

namespace interpose {
void Watch(int fd) { watched = fd; }
void Counting(bool on) { counting = on; }
Counts Counted() { return counts; }
void Reset() { counts = Counts{}; }
} // namespace interpose

extern "C" {

void* malloc(size_t n)
{
    if (counting)
        ++counts.allocations;
    return __libc_malloc(n);
}

void* calloc(size_t n, size_t size)
{
    if (counting)
        ++counts.allocations;
    return __libc_calloc(n, size);
}

void* realloc(void* p, size_t n)
{
    if (counting)
        ++counts.allocations;
    return __libc_realloc(p, n);
}

void free(void* p) { __libc_free(p); }

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (counting && fd == watched)
        ++counts.ioctls;
    return int(syscall(SYS_ioctl, fd, request, arg));
}

ssize_t read(int fd, void* buffer, size_t n)
{
    if (counting && fd == watched)
        ++counts.reads;
    return ssize_t(syscall(SYS_read, fd, buffer, n));
}

ssize_t write(int fd, const void* buffer, size_t n)
{
    if (counting && fd == watched)
        ++counts.writes;
    return ssize_t(syscall(SYS_write, fd, buffer, n));
}

} // extern "C"
