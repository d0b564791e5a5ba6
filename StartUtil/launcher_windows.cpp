// Windows: one CreateProcessW with fixed options; both handles closed at once.
#include <windows.h>

#include <memory>
#include <new>
#include <string>

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
std::unique_ptr<wchar_t[]> quotedPath(const char16_t* path) {
    std::size_t length = std::char_traits<char16_t>::length(path);
    std::unique_ptr<wchar_t[]> quoted(new (std::nothrow) wchar_t[length + 3]);
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

    std::unique_ptr<wchar_t[]> commandLine;
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

// The system's text for a failure code, as UTF-8; a fallback when it has none.
std::string systemMessage(DWORD code) {
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::unique_ptr<wchar_t, decltype(&LocalFree)> owner(buffer, &LocalFree);
    if (length == 0 || buffer == nullptr) return "Unknown error";
    return toUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(buffer), length));
}

}  // namespace

void invokeNonBlocking(LaunchMode mode, CommandText text) noexcept {
    echoCommand(text);
    DWORD code = createDetached(mode, text);
    if (code == ERROR_SUCCESS) return;
    try {
        reportLaunchFailure(text, systemMessage(code), static_cast<long>(code));
    } catch (const std::bad_alloc&) {
        reportLaunchFailure(text, "Not enough memory to describe the failure.",
                            static_cast<long>(code));
    }
}
