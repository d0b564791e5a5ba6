// What the launch tests share, as tests/linux/launch_harness.h does on Linux: a scratch folder,
// environment variables set for the children of one test, the probe's reports (with every probe
// accounted for), the caller's output captured around a call, and the failure line's shape.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fake_vm.h"
#include "probe_report.h"

// Shares everything, so it reads files that others still have open, delete-on-close ones too.
inline std::string readFile(const std::wstring& path) {
    std::string content;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return content;
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0) content.append(buffer, n);
    CloseHandle(file);
    return content;
}

// Unique across runs too: a run that crashed leaves its files behind, and Wine reuses pids.
inline std::wstring uniqueTempPath(std::wstring_view stem) {
    static std::atomic<int> counter{0};
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + std::wstring(stem) + L"-" + std::to_wstring(GetCurrentProcessId()) +
           L"-" + std::to_wstring(++counter) + L"-" + std::to_wstring(now.QuadPart);
}

// A new file that goes when its last handle closes; throws if it cannot be made.
inline HANDLE temporaryFile(const std::wstring& path) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create a temporary file");
    return file;
}

// A fresh folder in the temporary folder, removed with everything in it.
class ScratchDirectory {
  public:
    explicit ScratchDirectory(std::wstring_view stem = L"startutil") : path_(uniqueTempPath(stem)) {
        if (!CreateDirectoryW(path_.c_str(), nullptr)) throw std::runtime_error("CreateDirectory");
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    const std::wstring& path() const { return path_; }

  private:
    std::wstring path_;
};

// Sets an environment variable of this process (and so of every child it starts) for one scope
// and puts the old value back.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const wchar_t* name, const std::wstring& value) : name_(name) {
        wchar_t old[32768];
        DWORD length = GetEnvironmentVariableW(name, old, 32768);
        had_ = length > 0 && length < 32768;
        if (had_) old_.assign(old, length);
        SetEnvironmentVariableW(name, value.c_str());
    }
    ~ScopedEnvironment() { SetEnvironmentVariableW(name_, had_ ? old_.c_str() : nullptr); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    const wchar_t* name_;
    bool had_ = false;
    std::wstring old_;
};

inline std::wstring probePath() {
    return buildPath(STARTUTIL_PROBE);
}

// A folder the probes of one test report into. Every probe whose report was read is waited
// for, and ended if it has not exited by then, so no child outlives the test.
class ProbeReports {
  public:
    ProbeReports()
        : directory_(L"startutil-reports"), variable_(L"STARTUTIL_PROBE_DIR", directory_.path()) {}
    ~ProbeReports() {
        for (DWORD pid : pids_) endProcess(pid);
    }
    ProbeReports(const ProbeReports&) = delete;
    ProbeReports& operator=(const ProbeReports&) = delete;

    // The reports present once there are `count` of them, or all there are at the deadline.
    std::vector<ProbeReport> waitFor(std::size_t count,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        std::vector<ProbeReport> reports = read();
        while (reports.size() < count && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            reports = read();
        }
        return reports;
    }

  private:
    std::vector<ProbeReport> read() {
        std::vector<ProbeReport> reports;
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((directory_.path() + L"\\*.report").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) return reports;
        do {
            // The pid is taken from the name first: a report that does not parse still counts.
            DWORD pid = DWORD(std::wcstoul(found.cFileName, nullptr, 10));
            if (std::find(pids_.begin(), pids_.end(), pid) == pids_.end()) pids_.push_back(pid);
            reports.push_back(
                parseProbeReport(readFile(directory_.path() + L"\\" + found.cFileName)));
        } while (FindNextFileW(search, &found));
        FindClose(search);
        return reports;
    }

    static void endProcess(DWORD pid) {
        HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
        if (process == nullptr) return;  // already gone
        if (WaitForSingleObject(process, 5000) != WAIT_OBJECT_0) TerminateProcess(process, 1);
        CloseHandle(process);
    }

    ScratchDirectory directory_;  // removed after the children have been ended
    ScopedEnvironment variable_;
    std::vector<DWORD> pids_;
};

// Standard output or error (C runtime descriptor 1 or 2) sent to a file while this lives. The
// text is read back without flushing the stream: what the library did not flush is not there.
// The file goes when its last handle closes: Wine hands the caller's standard handles to a
// child even without inheritance, so a probe may still hold it when this ends.
class CapturedStream {
  public:
    explicit CapturedStream(int descriptor)
        : descriptor_(descriptor), path_(uniqueTempPath(L"startutil-stream")) {
        HANDLE file = temporaryFile(path_);
        file_ = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_BINARY);
        if (file_ < 0) {
            CloseHandle(file);
            throw std::runtime_error("cannot capture a standard stream");
        }
        std::fflush(stream());
        saved_ = _dup(descriptor_);
        if (saved_ < 0 || _dup2(file_, descriptor_) != 0) {
            _close(file_);
            throw std::runtime_error("cannot capture a standard stream");
        }
    }
    ~CapturedStream() {
        std::fflush(stream());
        _dup2(saved_, descriptor_);
        _close(saved_);
        _close(file_);
    }
    CapturedStream(const CapturedStream&) = delete;
    CapturedStream& operator=(const CapturedStream&) = delete;

    std::string text() const { return readFile(path_); }

  private:
    FILE* stream() const { return descriptor_ == 1 ? stdout : stderr; }

    int descriptor_;
    std::wstring path_;
    int file_ = -1;
    int saved_ = -1;
};

// The process's standard output or error handle (not the C runtime's descriptor) pointed at a
// file of its own while this lives, as a host does with SetStdHandle after the C runtime has
// started.
class RedirectedHandle {
  public:
    explicit RedirectedHandle(DWORD standard)
        : standard_(standard),
          saved_(GetStdHandle(standard)),
          path_(uniqueTempPath(L"startutil-handle")) {
        file_ = temporaryFile(path_);
        SetStdHandle(standard_, file_);
    }
    ~RedirectedHandle() {
        SetStdHandle(standard_, saved_);
        CloseHandle(file_);
    }
    RedirectedHandle(const RedirectedHandle&) = delete;
    RedirectedHandle& operator=(const RedirectedHandle&) = delete;

    std::string text() const { return readFile(path_); }

  private:
    DWORD standard_;
    HANDLE saved_;
    std::wstring path_;
    HANDLE file_ = INVALID_HANDLE_VALUE;
};

// A console screen buffer as standard output or error (the C runtime's descriptor 1 or 2 and
// the process's standard handle) while this lives, with the console's code page set to 437, as
// on a Western Windows. What was written is read back from the screen's cells, as a user would
// see it. The process must have a console: Wine gives one to a program run on a terminal.
class ConsoleScreen {
  public:
    explicit ConsoleScreen(int descriptor, COORD size = {0, 0})
        : descriptor_(descriptor),
          standard_(descriptor == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE),
          savedHandle_(GetStdHandle(standard_)) {
        screen_ = CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            CONSOLE_TEXTMODE_BUFFER, nullptr);
        if (screen_ == INVALID_HANDLE_VALUE) throw std::runtime_error("no console screen buffer");
        if (size.X > 0 && !SetConsoleScreenBufferSize(screen_, size)) {
            throw std::runtime_error("cannot size the console screen buffer");
        }
        savedCodePage_ = GetConsoleOutputCP();
        SetConsoleOutputCP(437);
        std::fflush(descriptor_ == 1 ? stdout : stderr);
        file_ = _open_osfhandle(reinterpret_cast<intptr_t>(screen_), _O_TEXT);
        saved_ = _dup(descriptor_);
        if (file_ < 0 || saved_ < 0 || _dup2(file_, descriptor_) != 0) {
            throw std::runtime_error("cannot put a console on a standard stream");
        }
        SetStdHandle(standard_, screen_);
    }
    ~ConsoleScreen() {
        std::fflush(descriptor_ == 1 ? stdout : stderr);
        _dup2(saved_, descriptor_);
        _close(saved_);
        SetStdHandle(standard_, savedHandle_);
        SetConsoleOutputCP(savedCodePage_);
        _close(file_);  // closes the screen buffer too
    }
    ConsoleScreen(const ConsoleScreen&) = delete;
    ConsoleScreen& operator=(const ConsoleScreen&) = delete;

    // The first `count` cells, row after row from the top left corner.
    std::wstring cells(std::size_t count) const {
        std::wstring text(count, L'\0');
        DWORD read = 0;
        ReadConsoleOutputCharacterW(screen_, text.data(), DWORD(count), COORD{0, 0}, &read);
        text.resize(read);
        return text;
    }

  private:
    int descriptor_;
    DWORD standard_;
    HANDLE savedHandle_;
    HANDLE screen_ = INVALID_HANDLE_VALUE;
    UINT savedCodePage_ = 0;
    int file_ = -1;
    int saved_ = -1;
};

// Where the first line break of a text is (LF, CR, NEL, U+2028, U+2029 in UTF-8), or npos.
inline std::size_t lineBreakAt(std::string_view text) {
    std::size_t at = std::string_view::npos;
    for (std::string_view lineBreak : {"\n", "\r", "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"}) {
        at = std::min(at, text.find(lineBreak));
    }
    return at;
}

// Exactly one line `StartUtil: cannot start <what>: <message> (error <code>)` and CR LF, the
// message being the system's (it differs between Windows and Wine), with no line break anywhere
// else. A negative code accepts any.
inline ::testing::AssertionResult isFailureLine(const std::string& text, const std::string& what,
                                                long code) {
    if (lineBreakAt(text) + 2 != text.size() || text.compare(text.size() - 2, 2, "\r\n") != 0) {
        return ::testing::AssertionFailure() << "not one line ending in CR LF";
    }
    std::string prefix = "StartUtil: cannot start " + what + ": ";
    std::size_t open = text.rfind(" (error ");
    bool shaped = text.size() > prefix.size() && text.compare(0, prefix.size(), prefix) == 0 &&
                  open != std::string::npos && open > prefix.size() &&
                  text.compare(text.size() - 3, 3, ")\r\n") == 0;
    if (!shaped) return ::testing::AssertionFailure() << "not a failure line for " << what;
    std::string digits = text.substr(open + 8, text.size() - 3 - (open + 8));
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos ||
        (code >= 0 && digits != std::to_string(code))) {
        return ::testing::AssertionFailure() << "error code " << digits << ", expected " << code;
    }
    return ::testing::AssertionSuccess();
}

// What one call wrote to standard output and standard error. Assertions belong after it:
// GoogleTest prints its failures to standard output, which would be captured with the rest.
struct Output {
    std::string out;
    std::string err;
};
template <typename Call>
Output captureOutput(Call&& call) {
    CapturedStream out(1);
    CapturedStream err(2);
    call();
    return {out.text(), err.text()};
}

// The text in double quotes (appended piecewise: GCC 12 warns wrongly on "\"" + string).
template <typename Char>
std::basic_string<Char> inQuotes(const std::basic_string<Char>& text) {
    std::basic_string<Char> out(1, Char('"'));
    out += text;
    out += Char('"');
    return out;
}

inline std::u16string u16(std::wstring_view text) {
    return std::u16string(text.begin(), text.end());
}

inline std::string utf8(std::wstring_view text) {
    if (text.empty()) return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr,
                                   nullptr);
    std::string out(std::size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), size, nullptr,
                        nullptr);
    return out;
}
