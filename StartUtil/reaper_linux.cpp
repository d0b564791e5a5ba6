// The caller's side of reaping adopted programs: whether a program was adopted, the list of those
// that were, and the reaping thread's start and stop. reaper_thread_linux.cpp is the thread.
//
// Why a thread: only the parent can reap, and a JVM has no SIGCHLD handler for the library to
// use. Why the library's own, not the C library's: glibc 2.17 keeps pthread_create in
// libpthread, which the library does not link. The thread is started on the first adoption, so a
// caller that adopts nothing pays the one waitid below per launch and nothing else.
#include "reaper_linux.h"

#include <linux/futex.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "child_linux.h"
#include "futex_lock_linux.h"
#include "raw_syscall.h"

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434  // one number on every architecture
#endif

namespace {

constexpr std::size_t kThreadStack = std::size_t{64} * 1024;

Adoptions adoptions{0, nullptr, 0, 0, -1, 0, 0};
// The process whose thread reaps (0 before the first adoption), and that thread's stack mapping,
// a guard page below the stack.
long reapingProcess = 0;
char* threadMapping = nullptr;

std::size_t threadMappingSize() {
    return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) + kThreadStack;
}

// Closes what the list holds and empties it.
void dropList() {
    for (std::size_t i = 0; i < adoptions.count; ++i) {
        if (adoptions.programs[i].pidfd >= 0) raw::call(SYS_close, adoptions.programs[i].pidfd);
    }
    std::free(adoptions.programs);
    adoptions.programs = nullptr;
    adoptions.count = adoptions.capacity = 0;
    if (adoptions.wake >= 0) raw::call(SYS_close, adoptions.wake);
    adoptions.wake = -1;
    if (threadMapping != nullptr) munmap(threadMapping, threadMappingSize());
    threadMapping = nullptr;
}

// Starts the thread for this process, with every signal blocked. A process forked from the one
// that started it (without exec) has the list and no thread: its list names the other process's
// children, and it starts afresh.
bool reapingThreadRuns(long process) {
    if (reapingProcess == process) return true;
    dropList();
    reapingProcess = 0;
    std::size_t size = threadMappingSize();
    void* mapping =
        mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapping == MAP_FAILED) return false;
    threadMapping = static_cast<char*>(mapping);
    mprotect(threadMapping, size - kThreadStack, PROT_NONE);
    adoptions.wake = static_cast<int>(raw::call(SYS_eventfd2, 0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (adoptions.wake < 0) {
        dropList();
        return false;
    }
    adoptions.stop = 0;
    adoptions.threadRunning = 1;
    std::uint64_t previousMask = 0;
    setSignalMask(~std::uint64_t{0}, &previousMask);
    long thread = raw::clone(CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_SIGHAND | CLONE_THREAD |
                                 CLONE_SYSVSEM | CLONE_CHILD_CLEARTID,
                             threadMapping + size, nullptr, &adoptions.threadRunning, reapAdopted,
                             &adoptions);
    setSignalMask(previousMask, nullptr);
    if (thread < 0) {
        dropList();
        return false;
    }
    reapingProcess = process;
    return true;
}

bool append(AdoptedProgram program) {
    if (adoptions.count == adoptions.capacity) {
        std::size_t capacity = adoptions.capacity == 0 ? 16 : 2 * adoptions.capacity;
        auto* grown = static_cast<AdoptedProgram*>(std::malloc(capacity * sizeof program));
        if (grown == nullptr) return false;
        if (adoptions.count != 0) {
            std::memcpy(grown, adoptions.programs, adoptions.count * sizeof program);
        }
        std::free(adoptions.programs);
        adoptions.programs = grown;
        adoptions.capacity = capacity;
    }
    adoptions.programs[adoptions.count++] = program;
    return true;
}

// The library is being unloaded, or the process is exiting: the thread is stopped before its
// code goes. Programs still running then are left to whoever reaps after the library.
__attribute__((destructor)) void stopReaping() {
    if (reapingProcess == 0 || reapingProcess != raw::call(SYS_getpid)) return;
    __atomic_store_n(&adoptions.stop, 1, __ATOMIC_RELEASE);
    std::uint64_t one = 1;
    raw::call(SYS_write, adoptions.wake, &one, sizeof one);
    // Not FUTEX_PRIVATE_FLAG: the kernel's wake at the thread's exit is a shared one.
    constexpr timespec kRecheck = {0, 100'000'000};
    while (int running = __atomic_load_n(&adoptions.threadRunning, __ATOMIC_ACQUIRE)) {
        raw::call(SYS_futex, &adoptions.threadRunning, FUTEX_WAIT, running, &kRecheck);
    }
    FutexLock held(&adoptions.lock);
    dropList();
    reapingProcess = 0;
}

}  // namespace

void reapIfAdopted(pid_t program) noexcept {
    // Asks, without reaping (WNOWAIT), whether the program is now this process's child. It is not
    // unless this process adopts orphans: ECHILD.
    siginfo_t info;
    if (raw::call(SYS_waitid, P_PID, program, &info, WEXITED | WNOHANG | WNOWAIT, nullptr) != 0) {
        return;
    }
    auto pidfd = static_cast<int>(raw::call(SYS_pidfd_open, program, 0));
    FutexLock held(&adoptions.lock);
    if (reapingThreadRuns(raw::call(SYS_getpid)) && append({program, pidfd < 0 ? -1 : pidfd})) {
        std::uint64_t one = 1;
        raw::call(SYS_write, adoptions.wake, &one, sizeof one);
    } else if (pidfd >= 0) {
        raw::call(SYS_close, pidfd);
    }
}
