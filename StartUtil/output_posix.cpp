// POSIX: the library's lines go to descriptor 1 or 2 by raw write(2), under a futex lock.
#include <linux/futex.h>
#include <poll.h>

#include <cerrno>
#include <cstdio>

#include "output.h"
#include "raw_syscall.h"

namespace {

// The library's one output lock: 0 free, 1 held, 2 held with a thread waiting. Built on the futex
// system call, as the C library's own mutexes are: glibc before 2.34 keeps pthread_mutex_lock in
// libpthread, which the library does not link.
int outputLock = 0;

class OutputLock {
  public:
    OutputLock() {
        int seen = 0;
        if (__atomic_compare_exchange_n(&outputLock, &seen, 1, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
            return;
        }
        while (__atomic_exchange_n(&outputLock, 2, __ATOMIC_ACQUIRE) != 0) {
            raw::call(SYS_futex, &outputLock, FUTEX_WAIT_PRIVATE, 2, nullptr);
        }
    }
    ~OutputLock() {
        if (__atomic_exchange_n(&outputLock, 0, __ATOMIC_RELEASE) == 2) {
            raw::call(SYS_futex, &outputLock, FUTEX_WAKE_PRIVATE, 1);
        }
    }
    OutputLock(const OutputLock&) = delete;
    OutputLock& operator=(const OutputLock&) = delete;
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
    bool output = stream == StandardStream::Output;
    OutputLock held;
    // A write that fails has no one to tell, here or below: its result is dropped on purpose.
    (void)std::fflush(output ? stdout : stderr);
    writeAll(output ? 1 : 2, utf8.data(), utf8.size());
}
