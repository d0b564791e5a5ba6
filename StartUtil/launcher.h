// The boundary between the JNI bindings and the platform's process creation.
#pragma once

#include <cstddef>

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
using CommandText = char16_t*;

// Echoes the text to standard output exactly, as UTF-8 (writeStandard; nothing for an absent
// text), then starts the program as a detached process and returns without waiting for it.
//
// Windows: CreateProcessW with CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP, no inherited
// handles, the caller's environment and current directory; both returned handles are closed.
// A command line it would not take whole (32,767 units with the terminator, a path with its
// quotes) is refused first.
// POSIX: the child is started through a short-lived intermediate, so it is not the caller's
// child; it leads a new session with /dev/null as standard input, output and error, holds no
// other descriptor, and starts with default signal dispositions and an empty signal mask.
//
// A launch that fails starts nothing and writes one line to standard error naming the text,
// the system's message and its code (reportLaunchFailure). Never throws; safe to call from any
// number of threads.
void invokeNonBlocking(LaunchMode mode, CommandText text) noexcept;

// Why the bindings start nothing for a Java string that is not null.
enum class Refusal {
    // The VM handed out no characters (its native memory is exhausted) or there was no memory
    // for the private copy: ENOMEM, ERROR_NOT_ENOUGH_MEMORY.
    NoMemory,
    // The string holds U+0000: the system would see only the text before it, which is not what
    // the caller may have checked. EINVAL, ERROR_INVALID_PARAMETER.
    EmbeddedNul,
};

// Starts nothing, echoes the text (up to its first NUL, as the system would have seen it) when
// there is one, and writes one failure line saying why. `text` holds `length` UTF-16 units, or
// is null when its characters could not be had.
void refuseCommand(const char16_t* text, std::size_t length, Refusal why) noexcept;
