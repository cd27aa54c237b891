// The few routines the compiler may call on its own, supplied here because the DLLs link no
// C runtime. Plain byte loops: the buffers involved are a few hundred bytes at most.
#include <stddef.h>

extern "C" {

void* memcpy(void* dst, const void* src, size_t n)
{
    auto* d = static_cast<unsigned char*>(dst);
    auto* s = static_cast<const unsigned char*>(src);
    while (n--)
        *d++ = *s++;
    return dst;
}

void* memmove(void* dst, const void* src, size_t n)
{
    auto* d = static_cast<unsigned char*>(dst);
    auto* s = static_cast<const unsigned char*>(src);
    if (d < s) {
        while (n--)
            *d++ = *s++;
    } else {
        while (n--)
            d[n] = s[n];
    }
    return dst;
}

void* memset(void* dst, int c, size_t n)
{
    auto* d = static_cast<unsigned char*>(dst);
    while (n--)
        *d++ = static_cast<unsigned char>(c);
    return dst;
}

int memcmp(const void* a, const void* b, size_t n)
{
    auto* x = static_cast<const unsigned char*>(a);
    auto* y = static_cast<const unsigned char*>(b);
    for (; n--; ++x, ++y)
        if (*x != *y)
            return *x < *y ? -1 : 1;
    return 0;
}

} // extern "C"
