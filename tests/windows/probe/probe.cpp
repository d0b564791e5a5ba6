// Records how it was started, for the launch tests: command line, C runtime argv, working
// directory, one environment variable, whether a given handle reached it, and its console
// window, as a report (tests/common/probe_report.h) in STARTUTIL_PROBE_DIR; then exits at once.
#include <windows.h>

#include <cstdio>
#include <string>

#include "../../common/probe_report.h"

namespace {

std::string utf8(const wchar_t* text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return {};
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.pop_back();
    return out;
}

std::wstring environmentVariable(const wchar_t* name) {
    wchar_t value[32768];
    DWORD length = GetEnvironmentVariableW(name, value, 32768);
    if (length == 0 || length >= 32768) return {};
    return std::wstring(value, length);
}

// "inherited" only when the value names an open handle to the test's own event: another
// handle of the child's could happen to have the same value ("other"). "open" when the two
// cannot be compared.
std::string handleState() {
    std::wstring value = environmentVariable(L"STARTUTIL_PROBE_HANDLE");
    std::wstring name = environmentVariable(L"STARTUTIL_PROBE_HANDLE_NAME");
    if (value.empty() || name.empty()) return "unset";
    auto handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(std::stoull(value, nullptr, 16)));
    DWORD flags = 0;
    if (!GetHandleInformation(handle, &flags)) return "closed";
    // Looked up at run time: the MinGW import libraries do not list it.
    using Compare = BOOL(WINAPI*)(HANDLE, HANDLE);
    auto compare = reinterpret_cast<Compare>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CompareObjectHandles")));
    if (compare == nullptr) return "open";
    HANDLE own = OpenEventW(SYNCHRONIZE, FALSE, name.c_str());
    if (own == nullptr) return "other";
    bool same = compare(handle, own);
    CloseHandle(own);
    return same ? "inherited" : "other";
}

std::string currentDirectory() {
    wchar_t directory[MAX_PATH * 4];
    DWORD length = GetCurrentDirectoryW(MAX_PATH * 4, directory);
    return length == 0 || length >= MAX_PATH * 4 ? std::string() : utf8(directory);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring directory = environmentVariable(L"STARTUTIL_PROBE_DIR");
    if (directory.empty()) return 0;

    std::string report = probeReportLine("pid", std::to_string(GetCurrentProcessId())) +
                         probeReportLine("commandline", utf8(GetCommandLineW())) +
                         probeReportLine("argc", std::to_string(argc));
    for (int i = 0; i < argc; ++i)
        report += probeReportLine("argv." + std::to_string(i), utf8(argv[i]));
    report +=
        probeReportLine("cwd", currentDirectory()) +
        probeReportLine("marker", utf8(environmentVariable(L"STARTUTIL_PROBE_MARKER").c_str())) +
        probeReportLine("handle", handleState()) +
        probeReportLine("console_window", GetConsoleWindow() ? "yes" : "no");

    std::wstring base = directory + L"\\" + std::to_wstring(GetCurrentProcessId());
    std::wstring temporary = base + L".tmp";
    FILE* file = _wfopen(temporary.c_str(), L"wb");
    if (file == nullptr) return 1;
    bool written = std::fwrite(report.data(), 1, report.size(), file) == report.size();
    if (std::fclose(file) != 0 || !written) return 1;
    return MoveFileExW(temporary.c_str(), (base + L".report").c_str(), MOVEFILE_REPLACE_EXISTING)
               ? 0
               : 1;
}
