// Counting wrappers around the C library's allocation functions and the system calls a serial
// port is used through, linked into a benchmark program in place of the C library's own. They
// count only while counting is on; system calls only on the descriptor being watched.
#pragma once

namespace interpose {

void Watch(int fd);          // the descriptor whose system calls are counted
void Counting(bool on);

struct Counts {
    unsigned long allocations; // malloc, calloc, realloc, operator new (through malloc)
    unsigned long ioctls, reads, writes;
};
Counts Counted();
void Reset();

} // namespace interpose
