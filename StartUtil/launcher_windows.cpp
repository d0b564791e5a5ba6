// Windows: one CreateProcessW with fixed options; both handles closed at once.
#include <windows.h>

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

wchar_t* wide(char16_t* text) {
    return reinterpret_cast<wchar_t*>(text);
}

// The program path again, in double quotes, as the child's command line. With no command line
// the system would reuse the bare path, and the child's C runtime would split a path holding
// spaces into several arguments; quoted, the child's argv is exactly the one path.
HeapArray<wchar_t> quotedPath(const char16_t* path) {
    std::size_t length = std::char_traits<char16_t>::length(path);
    HeapArray<wchar_t> quoted = allocateArray<wchar_t>(length + 3);
    if (quoted == nullptr) return nullptr;
    quoted[0] = L'"';
    std::char_traits<char16_t>::copy(reinterpret_cast<char16_t*>(&quoted[1]), path, length);
    quoted[length + 1] = L'"';
    quoted[length + 2] = L'\0';
    return quoted;
}

// Starts the child and closes its handles; returns 0, or the system's code for the failure.
DWORD createDetached(LaunchMode mode, CommandText text) {
    // Both names null is the caller's error, not the system's: some systems crash on it.
    if (text == nullptr) return ERROR_INVALID_PARAMETER;

    HeapArray<wchar_t> commandLine;
    const wchar_t* applicationName = nullptr;
    wchar_t* writableCommandLine = wide(text);
    if (mode == LaunchMode::ProgramPath) {
        commandLine = quotedPath(text);
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

// Frees what FormatMessageW allocated.
struct LocalFreeDeleter {
    void operator()(wchar_t* memory) const noexcept { LocalFree(memory); }
};

// Reports a failed launch with the system's text for its code.
void reportFailure(const char16_t* text, DWORD code) {
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::unique_ptr<wchar_t, LocalFreeDeleter> message(buffer);
    std::u16string_view units(reinterpret_cast<const char16_t*>(buffer), buffer ? length : 0);
    HeapArray<char> utf8 = allocateArray<char>(utf8Capacity(units.size()));
    std::string_view messageText = "Unknown error";
    if (!units.empty() && utf8 != nullptr)
        messageText = {utf8.get(), encodeUtf8(units, utf8.get())};
    reportLaunchFailure(text, messageText, code);
}

void echo(std::u16string_view text) {
    if (Utf8Text utf8 = toUtf8Text(text); utf8.bytes != nullptr) echoUtf8(utf8.view());
}

}  // namespace

void invokeNonBlocking(LaunchMode mode, CommandText text) noexcept {
    if (text != nullptr) echo(text);
    if (DWORD code = createDetached(mode, text); code != ERROR_SUCCESS) reportFailure(text, code);
}

void refuseCommand(const char16_t* text, std::size_t length, Refusal why) noexcept {
    if (why == Refusal::NoMemory) {
        reportUncopiedCommand(length,
                              "Not enough memory resources are available to process this command.",
                              ERROR_NOT_ENOUGH_MEMORY);
        return;
    }
    echo(text);
    reportLaunchFailure(std::u16string_view(text, length), "the text holds a NUL character",
                        ERROR_INVALID_PARAMETER);
}
