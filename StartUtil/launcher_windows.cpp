// Windows: one CreateProcessW with fixed options; both handles closed at once, the process id
// kept.
#include <windows.h>

#include <optional>
#include <string>

#include "failure_line.h"
#include "heap_array.h"
#include "launcher.h"
#include "system_message_windows.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide strings are UTF-16");

namespace {

// CREATE_NO_WINDOW: a console program gets a console of its own with no window, so the events
// of the caller's console (CTRL+C, CTRL+BREAK, its closing) never reach the child; a GUI program
// gets no console at all. CREATE_NEW_PROCESS_GROUP: the child roots a group of its own, which
// starts with CTRL+C ignored (SetConsoleCtrlHandler(NULL, FALSE) turns it back on); CTRL+BREAK
// sent to that group still reaches it. Nothing else: not suspended, no priority class.
constexpr DWORD kCreationFlags = CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP;
static_assert(kCreationFlags == 0x08000200);

// The longest command line CreateProcessW takes, in UTF-16 units with its terminator. Windows
// refuses a longer one, but other implementations cut it and start what is left.
constexpr std::size_t kMostCommandLineUnits = 32767;

wchar_t* wide(char16_t* text) {
    return reinterpret_cast<wchar_t*>(text);
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

// Starts the child and closes its handles; returns 0 with its process id in `pid`, or the
// system's code for the failure.
DWORD createProcess(LaunchMode mode, TerminatedUtf16 text, DWORD& pid) {
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
    pid = process.dwProcessId;
    return ERROR_SUCCESS;
}

// Whether the system's walk would take `name` for the program: a file (not a folder) that its
// search finds, .exe appended to a name without an extension. `name` is terminated.
bool namesProgramFile(const wchar_t* name) {
    wchar_t found[MAX_PATH];
    DWORD length = SearchPathW(nullptr, name, L".exe", MAX_PATH, found, nullptr);
    if (length == 0) return false;
    if (length >= MAX_PATH) return true;  // found, though too long a path to look at
    DWORD attributes = GetFileAttributesW(found);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The program of an unquoted command line with more text after its first token. The system
// tries the text up to each white space in turn, shortest first, and takes the first that names
// a file: the same walk names what it took. None when no candidate names a file now.
std::optional<std::u16string_view> walkedProgram(std::u16string_view text) {
    HeapArray<wchar_t> name = allocateArray<wchar_t>(text.size() + 1);
    if (name == nullptr) return std::nullopt;
    std::char_traits<char16_t>::copy(reinterpret_cast<char16_t*>(name.get()), text.data(),
                                     text.size());
    name[text.size()] = L'\0';
    for (std::size_t end = text.find_first_of(u" \t");; end = text.find_first_of(u" \t", end + 1)) {
        if (end == std::u16string_view::npos) end = text.size();
        wchar_t cut = name[end];
        name[end] = L'\0';
        bool found = namesProgramFile(name.get());
        name[end] = cut;
        if (found) return text.substr(0, end);
        if (end == text.size()) return std::nullopt;
    }
}

// The program a failure message names in place of %1: the path itself, or the first token of a
// command line as the system takes it (quotes group; unquoted, white space may end it or not, as
// the system's walk found). None when nothing that the system could have taken exists.
std::optional<std::u16string_view> programName(LaunchMode mode, std::u16string_view text) {
    if (mode == LaunchMode::ProgramPath) return text;
    if (!text.empty() && text.front() == u'"') {
        text.remove_prefix(1);
        return text.substr(0, text.find(u'"'));
    }
    if (text.find_first_of(u" \t") == std::u16string_view::npos) return text;
    return walkedProgram(text);
}

// The system's text for a code on one line, with the program in place of %1, in `out`
// (kMostMessageBytes). Fetched into a fixed buffer: it must also be had with no memory left. The
// inserts are filled by hand, not by FormatMessageW's arguments: a message that also names %2
// would have it read past any array given to it. The program is looked for only when the message
// names it.
std::size_t messageFor(DWORD code, LaunchMode mode, const char16_t* text, char* out) {
    wchar_t units[1024];
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
        nullptr, code, 0, units, DWORD(std::size(units)), nullptr);
    std::u16string_view message(reinterpret_cast<const char16_t*>(units), length);
    std::optional<std::u16string_view> program;
    if (text != nullptr && message.find(u"%1") != std::u16string_view::npos) {
        program = programName(mode, text);
    }
    std::size_t size = oneLineMessage(message, program, out);
    if (size != 0) return size;
    constexpr std::string_view kUnknown = "Unknown error";
    std::char_traits<char>::copy(out, kUnknown.data(), kUnknown.size());
    return kUnknown.size();
}

}  // namespace

long long createDetached(LaunchMode mode, TerminatedUtf16 text, std::string_view /*utf8*/,
                         SystemFailure& failure) noexcept {
    DWORD pid = 0;
    failure.code = createProcess(mode, text, pid);
    if (failure.code == ERROR_SUCCESS) return pid;
    failure.messageSize = messageFor(failure.code, mode, text, failure.message);
    return 0;
}

unsigned long systemCode(Refusal why) noexcept {
    return why == Refusal::NoMemory ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER;
}

std::size_t systemMessage(unsigned long code, char* out) noexcept {
    return messageFor(code, LaunchMode::ProgramPath, nullptr, out);
}

// Windows keeps nothing of the caller's that a launch could change.
void holdCallerState(CallerState& /*state*/) noexcept {}
void restoreCallerState(const CallerState& /*state*/) noexcept {}
