// Windows: one CreateProcessW with fixed options; both handles closed at once.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "heap_array.h"
#include "launcher.h"
#include "report.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide strings are UTF-16");

namespace {

// No console window for console programs, and the root of a new process group, so that a
// console control event sent to the caller's group does not reach the child. Nothing else:
// not suspended, no new console, no priority class.
constexpr DWORD kCreationFlags = CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP;
static_assert(kCreationFlags == 0x08000200);

// The longest command line CreateProcessW takes, in UTF-16 units with its terminator. Windows
// refuses a longer one, but other implementations cut it and start what is left.
constexpr std::size_t kMostCommandLineUnits = 32767;

wchar_t* wide(char16_t* text) {
    return reinterpret_cast<wchar_t*>(text);
}

bool isHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}

// The program path again, in double quotes, as the child's command line. With no command line
// the system would reuse the bare path, and the child's C runtime would split a path holding
// spaces into several arguments; quoted, the child's argv is exactly the one path.
HeapArray<wchar_t> quotedPath(const char16_t* path, std::size_t length) {
    HeapArray<wchar_t> quoted = allocateArray<wchar_t>(length + 3);
    if (quoted == nullptr) return nullptr;
    quoted[0] = L'"';
    std::char_traits<char16_t>::copy(reinterpret_cast<char16_t*>(&quoted[1]), path, length);
    quoted[length + 1] = L'"';
    quoted[length + 2] = L'\0';
    return quoted;
}

// The units of the command line the system is handed for a text: a path gains its quotes.
std::size_t commandLineUnits(LaunchMode mode, std::size_t textUnits) {
    return mode == LaunchMode::ProgramPath ? textUnits + 2 : textUnits;
}

// Starts the child and closes its handles; returns 0, or the system's code for the failure.
DWORD createDetached(LaunchMode mode, CommandText text) {
    // Both names null is the caller's error, not the system's: some systems crash on it.
    if (text == nullptr) return ERROR_INVALID_PARAMETER;
    std::size_t length = std::char_traits<char16_t>::length(text);
    // Checked here, whatever the system below would do: a cut line runs something else.
    if (commandLineUnits(mode, length) >= kMostCommandLineUnits) return ERROR_FILENAME_EXCED_RANGE;

    HeapArray<wchar_t> commandLine;
    const wchar_t* applicationName = nullptr;
    wchar_t* writableCommandLine = wide(text);
    if (mode == LaunchMode::ProgramPath) {
        commandLine = quotedPath(text, length);
        if (commandLine == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
        applicationName = wide(text);
        writableCommandLine = commandLine.get();
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(applicationName, writableCommandLine, nullptr, nullptr, FALSE,
                        kCreationFlags, nullptr, nullptr, &startup, &process)) {
        return GetLastError();
    }
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return ERROR_SUCCESS;
}

// The program a text names, as a failure message shows it: the path itself, or the first token
// of a command line as the system takes it (quotes group, and without them white space ends it,
// though the system may then go on to try longer names).
std::u16string_view programName(LaunchMode mode, std::u16string_view text) {
    if (mode == LaunchMode::ProgramPath) return text;
    if (!text.empty() && text.front() == u'"') {
        text.remove_prefix(1);
        return text.substr(0, text.find(u'"'));
    }
    return text.substr(0, text.find_first_of(u" \t"));
}

// Calls `piece(part, isProgram)` for the parts of a system message in order: its own text, and
// the program in place of each %1 (with any !format! after it). %% is kept as it is, so that %%1
// is not taken for an insert. Other inserts (%2 and up) stay unfilled: nothing is known to fill
// them with. Views are made by hand: substr may throw, and its throw would link the C++ runtime's
// exception support into the library.
template <typename Piece>
void forEachPart(std::u16string_view message, Piece&& piece) {
    std::size_t from = 0;
    for (std::size_t i = 0; i + 1 < message.size(); ++i) {
        if (message[i] != u'%') continue;
        char16_t next = message[i + 1];
        bool endsThere = i + 2 == message.size() || message[i + 2] < u'0' || message[i + 2] > u'9';
        if (next != u'1' || !endsThere) {
            if (next == u'%') ++i;
            continue;
        }
        piece(std::u16string_view(message.data() + from, i - from), false);
        piece(std::u16string_view(), true);
        from = i + 2;
        if (from < message.size() && message[from] == u'!') {
            std::size_t close = message.find(u'!', from + 1);
            if (close != std::u16string_view::npos) from = close + 1;
        }
        i = from - 1;
    }
    piece(std::u16string_view(message.data() + from, message.size() - from), false);
}

// A system message and the program that takes the place of its %1.
struct MessageFor {
    std::u16string_view message;
    std::u16string_view program;
};

// The message with each %1 filled by the program in quotes, as UTF-8 in `out` (kMostMessageBytes)
// and its byte count. A program too long for the room left is cut and ends in `…`.
std::size_t fillProgram(MessageFor filled, char* out) {
    std::u16string_view message = filled.message;
    std::u16string_view program = filled.program;
    std::size_t inserts = 0, own = 0;
    forEachPart(message, [&](std::u16string_view part, bool isProgram) {
        inserts += isProgram ? 1 : 0;
        own += utf8Length(part) + (isProgram ? 2 : 0);
    });
    std::size_t programRoom =
        inserts == 0 || own >= kMostMessageBytes ? 0 : (kMostMessageBytes - own) / inserts;
    char* end = out;
    auto append = [&](std::u16string_view part, std::size_t most) {
        std::size_t room = kMostMessageBytes - static_cast<std::size_t>(end - out);
        end += encodeUtf8Within(part, end, std::min(room, most));
    };
    forEachPart(message, [&](std::u16string_view part, bool isProgram) {
        if (!isProgram) return append(part, kMostMessageBytes);
        append(u"\"", 1);
        if (utf8Length(program) <= programRoom) {
            append(program, programRoom);
        } else if (programRoom >= 3) {
            append(program, programRoom - 3);
            append(u"\u2026", 3);
        }
        append(u"\"", 1);
    });
    return static_cast<std::size_t>(end - out);
}

// The system's text for a code on one line, with the program in place of %1, in `out`
// (kMostMessageBytes). Fetched into fixed buffers: it must also be had with no memory left. The
// inserts are filled by hand, not by FormatMessageW's arguments: a message that also names %2
// would have it read past any array given to it.
std::string_view systemMessage(DWORD code, std::u16string_view program, char* out) {
    wchar_t units[1024];
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
        nullptr, code, 0, units, DWORD(std::size(units)), nullptr);
    std::u16string_view message(reinterpret_cast<const char16_t*>(units), length);
    // With one line asked for, the line break that ends the text may come back as a space.
    while (!message.empty() &&
           (message.back() == u' ' || message.back() == u'\r' || message.back() == u'\n')) {
        message.remove_suffix(1);
    }
    if (message.empty()) return "Unknown error";
    return {out, fillProgram({message, program}, out)};
}

// The console a standard stream goes to, or null when it goes to a file, a pipe or nowhere. A
// console decodes bytes with its code page, not as UTF-8, so text for it goes as UTF-16.
HANDLE consoleOf(DWORD stream) {
    HANDLE handle = GetStdHandle(stream);
    DWORD mode = 0;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) {
        return nullptr;
    }
    return handle;
}

// Writes UTF-16 to a console in pieces small enough for any console's buffer, never splitting a
// surrogate pair; stops at the first write that fails or takes nothing.
void writeConsole(HANDLE console, std::u16string_view text) {
    constexpr std::size_t kPieceUnits = 8192;
    while (!text.empty()) {
        std::size_t units = std::min(text.size(), kPieceUnits);
        if (units < text.size() && isHighSurrogate(text[units - 1])) --units;
        DWORD written = 0;
        if (!WriteConsoleW(console, text.data(), DWORD(units), &written, nullptr) || written == 0) {
            return;
        }
        text.remove_prefix(std::min<std::size_t>(written, text.size()));
    }
}

// A failure line: as UTF-16 to a console, else as UTF-8 through the C runtime.
void writeErrorLine(std::string_view line) noexcept {
    HANDLE console = consoleOf(STD_ERROR_HANDLE);
    wchar_t units[kMostLineBytes];  // UTF-16 never takes more units than UTF-8 takes bytes
    int count = console == nullptr ? 0
                                   : MultiByteToWideChar(CP_UTF8, 0, line.data(), int(line.size()),
                                                         units, int(std::size(units)));
    if (count <= 0) return writeStandardError(line);
    (void)std::fflush(stderr);
    writeConsole(console, {reinterpret_cast<const char16_t*>(units), std::size_t(count)});
}

// The text to standard output: as it is to a console, after what the C runtime still holds
// there; else as UTF-8 through the C runtime.
void echo(std::u16string_view text) {
    if (HANDLE console = consoleOf(STD_OUTPUT_HANDLE); console != nullptr) {
        (void)std::fflush(stdout);
        writeConsole(console, text);
        return;
    }
    if (Utf8Text utf8 = toUtf8Text(text); utf8.bytes != nullptr) echoUtf8(utf8.view());
}

}  // namespace

void invokeNonBlocking(LaunchMode mode, CommandText text) noexcept {
    if (text != nullptr) echo(text);
    DWORD code = createDetached(mode, text);
    if (code == ERROR_SUCCESS) return;
    char message[kMostMessageBytes];
    std::u16string_view program = text != nullptr ? programName(mode, text) : u"";
    reportLaunchFailure(text, systemMessage(code, program, message), code, writeErrorLine);
}

void refuseCommand(const char16_t* text, std::size_t length, Refusal why) noexcept {
    if (why == Refusal::NoMemory) {
        char message[kMostMessageBytes];
        reportUncopiedCommand(length, systemMessage(ERROR_NOT_ENOUGH_MEMORY, u"", message),
                              ERROR_NOT_ENOUGH_MEMORY, writeErrorLine);
        return;
    }
    echo(text);
    reportLaunchFailure(std::u16string_view(text, length), "the text holds a NUL character",
                        ERROR_INVALID_PARAMETER, writeErrorLine);
}
