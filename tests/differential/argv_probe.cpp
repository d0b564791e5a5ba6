// Writes the argv its C runtime built to standard output as a report: argc and argv.N only, in
// the format of tests/common/probe_report.h.
#include <windows.h>

#include <string>

#include "../common/probe_report.h"

// The C runtime must not expand * and ? against the file system: the text is taken literally.
extern "C" {
int _dowildcard = 0;
}

namespace {

std::string toUtf8(const wchar_t* text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return {};
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
    utf8.pop_back();
    return utf8;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::string report = probeReportLine("argc", std::to_string(argc));
    for (int i = 0; i < argc; ++i)
        report += probeReportLine("argv." + std::to_string(i), toUtf8(argv[i]));
    DWORD written = 0;
    BOOL ok = WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), report.data(),
                        static_cast<DWORD>(report.size()), &written, nullptr);
    return ok && written == report.size() ? 0 : 1;
}
