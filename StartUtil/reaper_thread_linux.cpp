// What runs on the reaping thread. Like the processes of child_linux.cpp, the thread has no C
// library state of its own: it shares the thread-local storage of the thread that started it,
// which may end before it does. So it allocates nothing, takes no lock but the futex one and makes
// raw system calls only, and the build holds it to that (reaper_thread_linux_is_raw). Every
// signal is blocked on it: none of the caller's handlers may run here.
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>

#include <cstdint>

#include "futex_lock_linux.h"
#include "raw_syscall.h"
#include "reaper_linux.h"

namespace {

// Programs watched through their pidfds in one poll; any beyond these, and any without a pidfd
// (a kernel before 5.3, or the caller at its descriptor limit), are looked at every second.
constexpr int kPolledPrograms = 1024;
constexpr timespec kLookAgain = {1, 0};

// Reaps the program if it has exited, or forgets it if it is no longer the caller's child (the
// application reaped it first).
void reapIfExited(AdoptedProgram& program) {
    siginfo_t info;
    info.si_pid = 0;
    long waited = raw::call(SYS_waitid, P_PID, program.pid, &info, WEXITED | WNOHANG, nullptr);
    if (waited == -ECHILD || (waited == 0 && info.si_pid != 0)) program.pid = 0;
}

}  // namespace

int reapAdopted(void* argument) {
    Adoptions& adoptions = *static_cast<Adoptions*>(argument);
    pollfd polled[1 + kPolledPrograms];
    for (;;) {
        // Only this thread drops entries, so the first `listed` stay in their order while it
        // polls; callers only add after them.
        polled[0] = {adoptions.wake, POLLIN, 0};
        int count = 1;
        bool unpolled = false;
        std::size_t listed = 0;
        {
            FutexLock held(&adoptions.lock);
            listed = adoptions.count;
            for (std::size_t i = 0; i < listed; ++i) {
                int pidfd = adoptions.programs[i].pidfd;
                if (pidfd >= 0 && count <= kPolledPrograms) {
                    polled[count++] = {pidfd, POLLIN, 0};
                } else {
                    unpolled = true;
                }
            }
        }
        raw::call(SYS_ppoll, polled, count, unpolled ? &kLookAgain : nullptr, nullptr, 0);
        if (__atomic_load_n(&adoptions.stop, __ATOMIC_ACQUIRE) != 0) return 0;
        std::uint64_t added = 0;
        if (polled[0].revents != 0) raw::call(SYS_read, adoptions.wake, &added, sizeof added);

        FutexLock held(&adoptions.lock);
        int slot = 1;
        for (std::size_t i = 0; i < listed; ++i) {
            AdoptedProgram& program = adoptions.programs[i];
            bool exited = true;  // as far as an unpolled program can tell
            if (program.pidfd >= 0 && slot < count) exited = polled[slot++].revents != 0;
            if (exited) reapIfExited(program);
        }
        // From the end, so that the entry moved into a dropped one's place has been looked at.
        for (std::size_t i = adoptions.count; i-- > 0;) {
            AdoptedProgram& program = adoptions.programs[i];
            if (program.pid != 0) continue;
            if (program.pidfd >= 0) raw::call(SYS_close, program.pidfd);
            program = adoptions.programs[--adoptions.count];
        }
    }
}
