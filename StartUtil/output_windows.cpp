// Windows: the library's lines go to the standard handle as it is now, each under its stream's SRW
// lock.
#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "output.h"

namespace {

// One lock per stream, so that a standard output nobody reads holds up only the library's other
// lines to it.
SRWLOCK outputLocks[2] = {SRWLOCK_INIT, SRWLOCK_INIT};

class OutputLock {
  public:
    explicit OutputLock(StandardStream stream)
        : lock_(&outputLocks[stream == StandardStream::Output ? 0 : 1]) {
        AcquireSRWLockExclusive(lock_);
    }
    ~OutputLock() { ReleaseSRWLockExclusive(lock_); }
    OutputLock(const OutputLock&) = delete;
    OutputLock& operator=(const OutputLock&) = delete;

  private:
    SRWLOCK* lock_;
};

// A piece small enough for any console's buffer: WriteConsoleW of older systems fails on more
// than some 64 KB.
constexpr std::size_t kPieceUnits = 4096;

bool isContinuation(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// The text as UTF-16, a piece at a time, each cut between characters; stops at the first write
// that fails or takes nothing.
void writeConsole(HANDLE console, std::string_view utf8) {
    wchar_t units[kPieceUnits];  // UTF-16 never takes more units than UTF-8 takes bytes
    while (!utf8.empty()) {
        std::size_t bytes = std::min(utf8.size(), kPieceUnits);
        while (bytes < utf8.size() && bytes > 0 && isContinuation(utf8[bytes])) --bytes;
        int count =
            MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(bytes), units, int(kPieceUnits));
        if (count <= 0) return;
        for (int at = 0; at < count;) {
            DWORD written = 0;
            if (!WriteConsoleW(console, units + at, DWORD(count - at), &written, nullptr) ||
                written == 0) {
                return;
            }
            at += int(written);
        }
        utf8.remove_prefix(bytes);
    }
}

// The bytes to a file, a pipe or a device, in one WriteFile unless the system takes less.
void writeBytes(HANDLE handle, std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD size = DWORD(std::min<std::size_t>(bytes.size(), 1u << 30));
        DWORD written = 0;
        if (!WriteFile(handle, bytes.data(), size, &written, nullptr) || written == 0) return;
        bytes.remove_prefix(written);
    }
}

}  // namespace

void writeStandard(StandardStream stream, std::string_view utf8) noexcept {
    // Nothing to write waits for nothing: an empty echo takes no lock and makes no call.
    if (utf8.empty()) return;
    bool output = stream == StandardStream::Output;
    OutputLock held(stream);
    // The C runtime's own stream may still hold text that was written before this; its handle
    // may no longer be the standard handle (SetStdHandle), but its text goes first all the same.
    // A write that fails has no one to tell: results are dropped on purpose.
    (void)std::fflush(output ? stdout : stderr);
    HANDLE handle = GetStdHandle(output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    // A console decodes bytes with its code page, not as UTF-8: it gets the characters.
    if (DWORD mode = 0; GetConsoleMode(handle, &mode)) return writeConsole(handle, utf8);
    writeBytes(handle, utf8);
}
