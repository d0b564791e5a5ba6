// Reaping for a caller that adopts orphans. A JVM that is process 1 of its namespace (a container
// started without an init) or a child subreaper becomes the parent of each program the library
// starts once the intermediate is gone, and nobody else will reap the program when it exits. The
// library then watches those programs, and only those, from one thread of its own and reaps each
// once it has exited; the caller's other children keep their exit status for their own waiters.
#pragma once

#include <sys/types.h>

#include <cstddef>

// Reaps `program` once it has exited if it has become the caller's child; else does nothing.
// One system call when the caller adopts no orphans.
void reapIfAdopted(pid_t program) noexcept;

// ---------------------------------------------------------------------------------------------
// Shared with the reaping thread (reaper_thread_linux.cpp), which runs without the C library.
// ---------------------------------------------------------------------------------------------

struct AdoptedProgram {
    pid_t pid;  // 0 once reaped, until the thread drops the entry
    int pidfd;  // readable once the program has exited; -1 where none could be had
};

struct Adoptions {
    unsigned lock;             // a FutexLock word, over the list
    AdoptedProgram* programs;  // from malloc, grown by callers only
    std::size_t count;
    std::size_t capacity;
    int wake;           // an eventfd: a program was added, or the thread is to stop
    int stop;           // set before `wake` is written, when the library is unloaded
    int threadRunning;  // 1 while the thread runs; the kernel clears it at the thread's exit
};

// The reaping thread's body: waits for the listed programs to exit and reaps them until `stop`.
int reapAdopted(void* adoptions);
