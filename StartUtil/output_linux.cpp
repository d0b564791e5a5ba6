// POSIX: the library's lines go to descriptor 1 or 2 by raw write(2), each under its stream's
// futex lock.
#include <linux/futex.h>
#include <poll.h>

#include <cerrno>
#include <cstdio>

#include "output.h"
#include "raw_syscall.h"

namespace {

// One lock per stream, so that a standard output nobody reads holds up only the library's other
// lines to it. Built on the futex system call, as the C library's own mutexes are: glibc before
// 2.34 keeps pthread_mutex_lock in libpthread, which the library does not link.
//
// A lock word is 0 when free, else the holder's thread id, with FUTEX_WAITERS once another
// thread sleeps on it. The id is what lets a process that native code forked (without exec)
// while another thread held the lock take it: that thread does not exist in the child, so the
// lock would never be let go. A thread that finds the lock held asks the kernel whether the
// holder is a thread of its own process (tgkill with signal 0: ESRCH if not) and, if it is not,
// takes the lock over. pthread_atfork would do it too, but would be a new C library import.
// Uncontended, a lock costs one gettid; the check is made only on contention. (Were the holder's
// id given to a thread of this process since, once ids wrapped around, it would pass for alive.)
unsigned outputLocks[2] = {0, 0};

long futex(unsigned* word, int operation, unsigned value) {
    return raw::call(SYS_futex, word, operation, value, nullptr);
}

// The holder is not a thread of this process: it is one of the process this one was forked from.
bool holderIsGone(long process, unsigned holder) {
    return raw::call(SYS_tgkill, process, holder & FUTEX_TID_MASK, 0) == -ESRCH;
}

class OutputLock {
  public:
    explicit OutputLock(StandardStream stream)
        : word_(&outputLocks[stream == StandardStream::Output ? 0 : 1]) {
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
                futex(word_, FUTEX_WAIT_PRIVATE, waiting);
            }
            seen = __atomic_load_n(word_, __ATOMIC_RELAXED);
        }
    }
    ~OutputLock() {
        if ((__atomic_exchange_n(word_, 0, __ATOMIC_RELEASE) & FUTEX_WAITERS) != 0) {
            futex(word_, FUTEX_WAKE_PRIVATE, 1);
        }
    }
    OutputLock(const OutputLock&) = delete;
    OutputLock& operator=(const OutputLock&) = delete;

  private:
    unsigned* word_;
};

// Raw calls leave the caller's errno alone. A write the system cut short goes on with the rest;
// a descriptor that would block (left non-blocking by another user) is waited for.
void writeAll(int fd, const char* bytes, std::size_t size) {
    while (size > 0) {
        long written = raw::call(SYS_write, fd, bytes, size);
        if (written == -EINTR) continue;
        if (written == -EAGAIN) {
            pollfd writable{fd, POLLOUT, 0};
            long ready = raw::call(SYS_ppoll, &writable, 1, nullptr, nullptr, 0);
            if (ready < 0 && ready != -EINTR) return;
            continue;
        }
        if (written <= 0) return;
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
}

}  // namespace

void writeStandard(StandardStream stream, std::string_view utf8) noexcept {
    // Nothing to write waits for nothing: an empty echo takes no lock and makes no call.
    if (utf8.empty()) return;
    bool output = stream == StandardStream::Output;
    OutputLock held(stream);
    // A write that fails has no one to tell, here or below: its result is dropped on purpose.
    (void)std::fflush(output ? stdout : stderr);
    writeAll(output ? 1 : 2, utf8.data(), utf8.size());
}
