// POSIX: the library's lines go to descriptor 1 or 2 by raw write(2), each under its stream's
// futex lock.
#include <poll.h>

#include <cerrno>
#include <cstdio>

#include "futex_lock_linux.h"
#include "output.h"
#include "raw_syscall.h"

namespace {

// One lock per stream, so that a standard output nobody reads holds up only the library's other
// lines to it.
unsigned outputLocks[2] = {0, 0};

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
    FutexLock held(&outputLocks[output ? 0 : 1]);
    // A write that fails has no one to tell, here or below: its result is dropped on purpose.
    (void)std::fflush(output ? stdout : stderr);
    writeAll(output ? 1 : 2, utf8.data(), utf8.size());
}
