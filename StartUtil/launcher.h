// The boundary between the JNI bindings and the platform's process creation: the launch both
// systems share (launch.cpp), and what each system provides for it (launcher_<system>.cpp).
#pragma once

#include <cstddef>
#include <string_view>

#include "failure_line.h"

// How the command text reaches process creation.
enum class LaunchMode {
    // The text is the program's file name and nothing else: no search, no default extension,
    // a relative name is taken from the working directory, and the child gets no arguments.
    ProgramPath,
    // The text is a whole command line: the program is its first token (quotes let it hold
    // spaces), found as the system finds programs, and the child sees the rest as arguments.
    CommandLine,
};

// The command as null-terminated UTF-16, owned by the caller for the whole call; the launcher
// may write to it. Null when there is no text (a null Java string).
using TerminatedUtf16 = char16_t*;

// One launch as the bindings ask for it.
struct LaunchRequest {
    LaunchMode mode;
    // A private, terminated copy of the Java string, which may hold U+0000 before its end; null
    // for a null string or when its characters could not be had.
    TerminatedUtf16 text;
    std::size_t length;  // the Java string's length in UTF-16 units
    bool uncopied;       // a string whose characters could not be had: no memory
};

// Who hears how a launch went.
enum class Reporting {
    // The process's standard streams: the text is echoed to standard output first, and a launch
    // that fails writes one line to standard error.
    StandardStreams,
    // The caller alone, through the outcome: nothing is written.
    CallerOnly,
};

// What a launch came to.
struct LaunchOutcome {
    long long pid = 0;       // the program's process; 0 when nothing started
    unsigned long code = 0;  // the system's code for why nothing started
    std::size_t lineSize = 0;
    char line[kMostLineBytes];  // the failure line, without its line end
};

// Starts the program as a detached process and returns without waiting for it; says how it went
// as `reporting` asks and in `outcome`. Never throws; safe to call from any number of threads.
//
// Windows: CreateProcessW with CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP, no inherited
// handles, the caller's environment and current directory; both returned handles are closed.
// A command line it would not take whole (32,767 units with the terminator, a path with its
// quotes) is refused first.
// Linux: the child is started through a short-lived intermediate, so it is not the caller's
// child; it leads a new session with /dev/null as standard input, output and error, holds no
// other descriptor, and starts with default signal dispositions and an empty signal mask. The
// pid is that of the process that has executed the program. A caller that adopts orphans has it
// reaped once it exits (reaper_linux.h).
//
// Nothing starts for a null text, a text holding U+0000 (the system would see only the part
// before it, not what the caller may have checked) or one whose characters could not be had.
void invokeNonBlocking(const LaunchRequest& request, Reporting reporting,
                       LaunchOutcome& outcome) noexcept;

// The same for a terminated text (or null), echoed and reported on the standard streams.
void invokeNonBlocking(LaunchMode mode, TerminatedUtf16 text) noexcept;

// ---------------------------------------------------------------------------------------------
// What each system provides.
// ---------------------------------------------------------------------------------------------

// Why nothing started, in a system's words: its code and its message, one line's worth.
struct SystemFailure {
    unsigned long code = 0;
    std::size_t messageSize = 0;
    char message[kMostMessageBytes];

    std::string_view text() const { return {message, messageSize}; }
};

// Creates the program's process, detached, from a terminated text with no U+0000 in it; `utf8`
// is the text's UTF-8 form. Returns the process's id, or 0 with `failure` filled in, naming on
// Linux the step that failed.
long long createDetached(LaunchMode mode, TerminatedUtf16 text, std::string_view utf8,
                         SystemFailure& failure) noexcept;

// The reasons the library itself starts nothing for, each with its system's code.
enum class Refusal { InvalidText, NoMemory };
unsigned long systemCode(Refusal why) noexcept;

// The system's message for a code, one line's worth, in `out` (kMostMessageBytes); its size.
std::size_t systemMessage(unsigned long code, char* out) noexcept;

// What a call must leave as it found it, held for the whole launch: on Linux errno, and
// cancellation held off, as the C library's own process creation holds it off; nothing on
// Windows.
struct CallerState {
    int savedErrno = 0;
    int savedCancelState = 0;
};
void holdCallerState(CallerState& state) noexcept;
void restoreCallerState(const CallerState& state) noexcept;
