// Linux's words for a launch that started nothing: the step that failed, or the signal that
// ended it, and the C library's text for the errno; the counterpart of
// system_message_windows.cpp.
#include "system_message_linux.h"

#include <cerrno>
#include <cstring>
#include <string_view>

// The POSIX strerror_r under the name glibc and musl both export it by.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" int __xpg_strerror_r(int code, char* buffer, std::size_t size) noexcept;

namespace {

char* append(char* out, const char* text, std::size_t length) {
    std::memcpy(out, text, length);
    return out + length;
}

// The C library's text for an errno value. Its GNU strerror_r returns the text; musl's (the
// POSIX one) returns a status, so the POSIX form that both export is named explicitly.
std::string_view errorText(int code, char* buffer, std::size_t size) {
    if (__xpg_strerror_r(code, buffer, size) != 0) {
        char* end = appendDecimal(append(buffer, "Unknown error ", 14),
                                  static_cast<unsigned long long>(code));
        *end = '\0';
    }
    return buffer;
}

const char* whatFailed(Ending ending) {
    switch (ending) {
        case Ending::Intermediate:
        case Ending::ProgramProcess:
            return "cannot create a process";
        case Ending::NullDevice:
            return "cannot open /dev/null for the child";
        case Ending::StandardStreams:
            return "cannot make /dev/null the child's standard streams";
        case Ending::Session:
            return "cannot start a new session for the child";
        default:
            return nullptr;
    }
}

// "<before><signal><after>", for a process ended by a signal before the program started.
char* appendSignalled(char* end, std::string_view before, int signal, std::string_view after) {
    end = append(end, before.data(), before.size());
    end = appendDecimal(end, static_cast<unsigned long long>(signal));
    return append(end, after.data(), after.size());
}

}  // namespace

// What a launch that did not start its program must tell: which step failed and why. A launch
// ended by a signal before the program started has started nothing, as if interrupted.
void describeFailure(Ending ending, int code, SystemFailure& failure) noexcept {
    char* end = failure.message;
    if (ending == Ending::Interrupted) {
        if (code != 0) {
            end = appendSignalled(end, "the process starting it was killed by signal ", code, "");
        } else {
            constexpr std::string_view kVanished = "the process starting it ended early";
            end = append(end, kVanished.data(), kVanished.size());
        }
        code = EINTR;
    } else if (ending == Ending::Caught) {
        end = appendSignalled(end, "the process starting it was ended by signal ", code,
                              " before it started the program");
        code = EINTR;
    } else if (ending == Ending::Signalled) {
        end = appendSignalled(end, "its process was ended by signal ", code, " before exec");
        code = EINTR;
    } else if (const char* step = whatFailed(ending)) {
        std::string_view stepText(step);
        end = append(end, stepText.data(), stepText.size());
    }
    char reason[256];
    std::string_view why = errorText(code, reason, sizeof reason);
    if (end != failure.message) end = append(end, ": ", 2);
    end = append(end, why.data(), why.size() < 200 ? why.size() : 200);
    failure.code = static_cast<unsigned long>(code);
    failure.messageSize = static_cast<std::size_t>(end - failure.message);
}

std::size_t systemMessage(unsigned long code, char* out) noexcept {
    return errorText(static_cast<int>(code), out, kMostMessageBytes).size();
}
