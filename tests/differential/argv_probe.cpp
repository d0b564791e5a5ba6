// Writes the argv its C runtime built to standard output: argc on the first line, then each
// argument's UTF-8 bytes in hex, one argument a line (an empty line for an empty argument).
#include <windows.h>

#include <string>

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

std::string toHex(const std::string& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (char c : bytes) {
        auto byte = static_cast<unsigned char>(c);
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0xf];
    }
    return hex;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::string report = std::to_string(argc) + "\n";
    for (int i = 0; i < argc; ++i) report += toHex(toUtf8(argv[i])) + "\n";
    DWORD written = 0;
    BOOL ok = WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), report.data(),
                        static_cast<DWORD>(report.size()), &written, nullptr);
    return ok && written == report.size() ? 0 : 1;
}
