// A lock for the library's shared state, built on the futex system call as the C library's own
// mutexes are: glibc before 2.34 keeps pthread_mutex_lock in libpthread, which the library does
// not link. Raw calls only, so that the threads the library runs without the C library take it too.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>

#include <cerrno>

#include "raw_syscall.h"

// The word is 0 when free, else the holder's thread id, with FUTEX_WAITERS once another thread
// sleeps on it. The id is what lets a process that native code forked (without exec) while
// another thread held the lock take it: that thread does not exist in the child, so the lock
// would never be let go. A thread that finds the lock held asks the kernel whether the holder is
// a thread of its own process (tgkill with signal 0: ESRCH if not) and, if it is not, takes the
// lock over. pthread_atfork would do it too, but would be a new C library import. Uncontended, a
// lock costs one gettid; the check is made only on contention. (Were the holder's id given to a
// thread of this process since, once ids wrapped around, it would pass for alive.)
class FutexLock {
  public:
    explicit FutexLock(unsigned* word) : word_(word) {
        auto self = static_cast<unsigned>(raw::call(SYS_gettid));
        unsigned seen = 0;
        if (__atomic_compare_exchange_n(word_, &seen, self, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
            return;
        }
        // Taken from here on with the waiters' flag set, as another thread may still sleep.
        long process = raw::call(SYS_getpid);
        for (;;) {
            if (seen == 0 || holderIsGone(process, seen)) {
                if (__atomic_compare_exchange_n(word_, &seen, self | FUTEX_WAITERS, false,
                                                __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
                    return;
                }
                continue;
            }
            unsigned waiting = seen | FUTEX_WAITERS;
            if (seen == waiting ||
                __atomic_compare_exchange_n(word_, &seen, waiting, false, __ATOMIC_RELAXED,
                                            __ATOMIC_RELAXED)) {
                raw::call(SYS_futex, word_, FUTEX_WAIT_PRIVATE, waiting, nullptr);
            }
            seen = __atomic_load_n(word_, __ATOMIC_RELAXED);
        }
    }
    ~FutexLock() {
        if ((__atomic_exchange_n(word_, 0, __ATOMIC_RELEASE) & FUTEX_WAITERS) != 0) {
            raw::call(SYS_futex, word_, FUTEX_WAKE_PRIVATE, 1);
        }
    }
    FutexLock(const FutexLock&) = delete;
    FutexLock& operator=(const FutexLock&) = delete;

  private:
    // The holder is not a thread of this process: it is one of the process this one was forked
    // from.
    static bool holderIsGone(long process, unsigned holder) {
        return raw::call(SYS_tgkill, process, holder & FUTEX_TID_MASK, 0) == -ESRCH;
    }

    unsigned* word_;
};
