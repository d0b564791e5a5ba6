// Every command line goes through the C runtime (argv_probe, started with it as its command
// line) and through splitCommandLine; both must give the same argv.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "../common/probe_report.h"
#include "command_line_cases.h"
#include "library_text.h"

namespace {

constexpr DWORD kProbeTimeoutMs = 10'000;
constexpr DWORD kPipeSize = 1 << 16;  // larger than any report, so the probe never blocks

class OwnedHandle {
  public:
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
    OwnedHandle(OwnedHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    ~OwnedHandle() { reset(); }

    HANDLE get() const { return handle_; }
    HANDLE* out() { return &handle_; }
    void reset() {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = nullptr;
    }

  private:
    HANDLE handle_ = nullptr;
};

std::wstring toWide(std::string_view utf8) {
    if (utf8.empty()) return {};
    int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                   static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                        wide.data(), size);
    return wide;
}

std::wstring probePath() {
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(length);
    path.erase(path.find_last_of(L"\\/") + 1);
    path.append(L"" ARGV_PROBE_NAME);
    return path;
}

std::string fromHex(std::string_view field) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < field.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(std::string(field.substr(i, 2)), nullptr, 16));
    }
    return bytes;
}

// One probe started with a command line. Its report fits the pipe, so it exits without
// anyone reading, and many can run at once: a process start under Wine costs a few hundred ms.
class ProbeRun {
  public:
    explicit ProbeRun(std::string commandLine) : commandLine_(std::move(commandLine)) {
        SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        OwnedHandle writeEnd;
        if (!CreatePipe(readEnd_.out(), writeEnd.out(), &inheritable, kPipeSize)) {
            ADD_FAILURE() << "CreatePipe failed: " << GetLastError();
            return;
        }
        // Only the write end goes to the probe; the parent's copy is closed once it has started,
        // so the read sees the end when the probe exits.
        SetHandleInformation(readEnd_.get(), HANDLE_FLAG_INHERIT, 0);

        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = writeEnd.get();
        PROCESS_INFORMATION info{};
        std::wstring application = probePath();
        std::wstring writable = toWide(commandLine_);
        writable.push_back(L'\0');
        // No console at all: a console per probe doubles its start time under Wine.
        if (!CreateProcessW(application.c_str(), writable.data(), nullptr, nullptr, TRUE,
                            DETACHED_PROCESS, nullptr, nullptr, &startup, &info)) {
            ADD_FAILURE() << "CreateProcessW failed: " << GetLastError() << " for [" << commandLine_
                          << "]";
            return;
        }
        process_ = OwnedHandle(info.hProcess);
        OwnedHandle thread(info.hThread);
    }

    const std::string& commandLine() const { return commandLine_; }

    // Waits for the probe within the timeout (ending it if it overruns) and returns the argv
    // its C runtime built; fails the test and returns nothing on any failure.
    std::optional<std::vector<std::string>> finish() {
        if (process_.get() == nullptr) return std::nullopt;
        if (WaitForSingleObject(process_.get(), kProbeTimeoutMs) != WAIT_OBJECT_0) {
            TerminateProcess(process_.get(), 1);
            WaitForSingleObject(process_.get(), kProbeTimeoutMs);
            ADD_FAILURE() << "the probe did not exit in time";
            return std::nullopt;
        }
        DWORD exitCode = 1;
        GetExitCodeProcess(process_.get(), &exitCode);
        EXPECT_EQ(exitCode, 0u);

        std::string report;
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(readEnd_.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
            report.append(buffer, got);
        }
        try {
            return argvOf(parseProbeReport(report));
        } catch (const std::exception&) {
            ADD_FAILURE() << "unreadable probe report: " << report;
            return std::nullopt;
        }
    }

  private:
    std::string commandLine_;
    OwnedHandle readEnd_;
    OwnedHandle process_;
};

// Command lines are shown in hex too: tabs and the odd byte are invisible in a plain dump.
std::string describe(std::string_view commandLine) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text("[");
    text.append(commandLine).append("] hex ");
    for (char signedByte : commandLine) {
        auto c = static_cast<unsigned char>(signedByte);
        text += kDigits[c >> 4];
        text += kDigits[c & 0xf];
    }
    return text;
}

struct Expectation {
    std::string commandLine;
    std::vector<std::string> argv;
};

// Probes run in groups of a few, about as many as the cores can start at once; every probe of a
// group is waited for before the next group starts.
void expectCRuntimeGives(const std::vector<Expectation>& cases) {
    constexpr std::size_t kInFlight = 4;
    for (std::size_t first = 0; first < cases.size(); first += kInFlight) {
        std::size_t end = std::min(first + kInFlight, cases.size());
        std::vector<ProbeRun> runs;
        for (std::size_t i = first; i < end; ++i) runs.emplace_back(cases[i].commandLine);
        for (std::size_t i = first; i < end; ++i) {
            auto got = runs[i - first].finish();
            if (!got) continue;
            EXPECT_EQ(cases[i].argv, *got) << describe(cases[i].commandLine);
        }
    }
}

void expectSameAsCRuntime(const std::vector<std::string>& commandLines) {
    std::vector<Expectation> cases;
    for (const auto& line : commandLines) cases.push_back({line, splitToStrings(line)});
    expectCRuntimeGives(cases);
}

// The corpus the jar's quoting wrote: per line, the command line and then each element of the
// list it came from, as space-separated fields of x and the UTF-8 bytes in hex.
std::vector<Expectation> readQuotedCorpus(const char* path) {
    std::ifstream in(path);
    std::vector<Expectation> cases;
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields;
        std::istringstream words(line);
        for (std::string word; words >> word;) {
            if (word.front() != 'x') return {};
            fields.push_back(fromHex(std::string_view(word).substr(1)));
        }
        if (fields.empty()) return {};
        cases.push_back({fields.front(), {fields.begin() + 1, fields.end()}});
    }
    return cases;
}

TEST(SplitCommandLineAgainstCRuntime, AgreesOnEveryTableCase) {
    // The program-name path cases read differently in Wine's C runtime (see command_line_cases.h),
    // and empty text never reaches a C runtime as a command line.
    std::vector<std::string> commandLines;
    for (const auto* cases :
         {&kProgramNameCases, &kWhiteSpaceCases, &kBackslashQuoteCases, &kDoubledQuoteCases,
          &kUnterminatedQuoteCases, &kUtf8Cases, &kShellMetacharacterCases}) {
        for (const auto& c : *cases) commandLines.emplace_back(c.text);
    }
    expectSameAsCRuntime(commandLines);
}

// Random arguments over the characters that matter, after program tokens both sides read
// alike; seeded, so a failure repeats. A process start costs about 100 ms under Wine, so the
// strings are fewer but long enough to hold several runs of quotes and backslashes each.
TEST(SplitCommandLineAgainstCRuntime, AgreesOnGeneratedArguments) {
    const std::string_view alphabet[] = {"a", " ", "\t", "\"", "\\", "\xc3\xa9"};
    const std::string_view programs[] = {"probe", R"("C:\some dir\x.exe")", R"("")"};
    constexpr int kCases = 150;
    constexpr std::size_t kMaxLength = 30;
    std::mt19937 random(20261208);
    std::vector<std::string> commandLines;
    for (int i = 0; i < kCases; ++i) {
        std::string commandLine(programs[static_cast<std::size_t>(i) % std::size(programs)]);
        commandLine += ' ';
        std::size_t length = random() % (kMaxLength + 1);
        for (std::size_t j = 0; j < length; ++j) {
            commandLine += alphabet[random() % std::size(alphabet)];
        }
        commandLines.push_back(commandLine);
    }
    expectSameAsCRuntime(commandLines);
}

// Lists the jar's quoting turned into command lines (quoted by the build machine's JVM at build
// time): the C runtime and the splitter must each give every list back exactly.
TEST(SplitCommandLineAgainstCRuntime, GivesBackEveryQuotedList) {
    std::vector<Expectation> cases = readQuotedCorpus(QUOTED_CORPUS);
    ASSERT_EQ(cases.size(), std::size_t{QUOTED_CASES}) << "unreadable corpus " << QUOTED_CORPUS;
    for (const auto& c : cases)
        EXPECT_EQ(c.argv, splitToStrings(c.commandLine)) << describe(c.commandLine);
    expectCRuntimeGives(cases);
}

}  // namespace
