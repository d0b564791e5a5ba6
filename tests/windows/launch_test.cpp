// Children started through StartUtil.dll, as the probe program reports them: their arguments,
// environment, directory, handles and console, and many launches at once.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "launch_harness.h"

namespace {

// The handles open in this process, found by trying every value in a range far above what the
// tests use: Wine's GetProcessHandleCount answers 0.
int openHandleCount() {
    int count = 0;
    for (ULONG_PTR value = 4; value < 0x10000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

class Launch : public ::testing::Test {
  protected:
    // Calls the export as the VM would; the string must be handed back exactly once.
    Output call(NativeMethod method, const std::wstring& text) {
        FakeString string(u16(text));
        Output output = captureOutput([&] { method(vm.env(), nullptr, string.handle()); });
        EXPECT_EQ(string.gets, 1);
        EXPECT_EQ(string.releases, 1);
        return output;
    }

    StartUtilModule module;
    FakeVm vm;
};

TEST_F(Launch, ChildGetsExactlyTheArgumentsOfItsMode) {
    // A copy of the probe whose path holds spaces and characters outside ASCII.
    ScratchDirectory folder(L"startutil dir \u00e9\u65e5");
    std::wstring copy = folder.path() + L"\\probe copy \u00fc.exe";
    ASSERT_TRUE(CopyFileW(probePath().c_str(), copy.c_str(), TRUE));
    // A bare name is found through PATH, and gets its .exe added, only as a command line.
    std::wstring probeFolder = probePath().substr(0, probePath().rfind(L'\\'));
    ScopedEnvironment path(L"PATH", probeFolder + L";C:\\windows\\system32;C:\\windows");

    struct Case {
        NativeMethod method;
        std::wstring text;
        std::vector<std::string> argv;
        std::string commandLine;
    } cases[] = {
        {module.programPath, copy, {utf8(copy)}, inQuotes(utf8(copy))},
        {module.commandLine,
         inQuotes(copy) + L" \"two words\" plain",
         {utf8(copy), "two words", "plain"},
         inQuotes(utf8(copy)) + " \"two words\" plain"},
        {module.commandLine,
         L"startutil_probe a\\\"b",
         {"startutil_probe", "a\"b"},
         "startutil_probe a\\\"b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(utf8(c.text));
        ProbeReports reports;
        Output output = call(c.method, c.text);
        EXPECT_EQ(output.err, "");
        std::vector<ProbeReport> started = reports.waitFor(1);
        ASSERT_EQ(started.size(), 1u);
        EXPECT_EQ(argvOf(started[0]), c.argv);
        EXPECT_EQ(started[0].at("commandline"), c.commandLine);
    }
}

// A program path is a file name and nothing else: no search, no default extension, no
// arguments. Each failure is one line on stderr (so CreateProcessW failed: nothing started).
TEST_F(Launch, ProgramPathStartsNothingThatIsNotAFileName) {
    std::wstring probeFolder = probePath().substr(0, probePath().rfind(L'\\'));
    ScopedEnvironment path(L"PATH", probeFolder + L";C:\\windows\\system32;C:\\windows");
    struct Case {
        NativeMethod method;
        std::wstring text;
        long code;  // negative: the systems differ
    } cases[] = {
        {module.programPath, L"startutil_probe.exe", ERROR_FILE_NOT_FOUND},
        {module.programPath, L"startutil_probe", ERROR_FILE_NOT_FOUND},
        {module.programPath, probePath() + L" argument", ERROR_FILE_NOT_FOUND},
        {module.programPath, L"", -1},
        {module.commandLine, L"", -1},
    };
    ProbeReports reports;
    for (const Case& c : cases) {
        SCOPED_TRACE(utf8(c.text));
        Output output = call(c.method, c.text);
        EXPECT_EQ(output.out, utf8(c.text));
        EXPECT_TRUE(isFailureLine(output.err, inQuotes(utf8(c.text)), c.code)) << output.err;
        if (c.text.empty()) {
            EXPECT_NE(output.err.find(": the command is blank ("), std::string::npos) << output.err;
        }
    }
    EXPECT_EQ(reports.waitFor(0).size(), 0u);
}

// A new file of plain text under a program's name: the system refuses to run it.
bool writeNotAProgram(const std::wstring& file) {
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL wrote = WriteFile(handle, "plain text, not a program\r\n", 27, &written, nullptr);
    CloseHandle(handle);
    return wrote && written == 27;
}

// A file that is no program fails with the system's message on one line, the program's name in
// quotes in place of the message's %1: the path, or the command line's first token.
TEST_F(Launch, FailureMessageNamesTheProgramInPlaceOfItsInsert) {
    ScratchDirectory folder(L"startutil-notpe");
    std::wstring file = folder.path() + L"\\text-\u00e9.exe";
    ASSERT_TRUE(writeNotAProgram(file));
    struct Case {
        NativeMethod method;
        std::wstring text;
    } cases[] = {
        {module.programPath, file},
        {module.commandLine, file + L" argument"},
        {module.commandLine, inQuotes(file) + L" argument"},
    };
    ProbeReports reports;
    for (const Case& c : cases) {
        SCOPED_TRACE(utf8(c.text));
        Output output = call(c.method, c.text);
        std::string what = inQuotes(utf8(c.text));
        ASSERT_TRUE(isFailureLine(output.err, what, ERROR_BAD_EXE_FORMAT)) << output.err;
        std::string message = output.err.substr(("StartUtil: cannot start " + what).size());
        EXPECT_EQ(message.find('%'), std::string::npos) << message;
        EXPECT_NE(message.find(inQuotes(utf8(file))), std::string::npos) << message;
    }
    EXPECT_EQ(reports.waitFor(0).size(), 0u);
}

// An unquoted program path with spaces: the system tries the text up to each space in turn and
// takes the first that names a file (here not the folder `rev`, but `rev dir\notpe.exe`). The
// message names what the system took, not the first token.
TEST_F(Launch, FailureMessageNamesTheFileTheSystemFoundForAnUnquotedPath) {
    ScratchDirectory folder(L"startutil-walk");
    ASSERT_TRUE(CreateDirectoryW((folder.path() + L"\\rev").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((folder.path() + L"\\rev dir").c_str(), nullptr));
    std::wstring file = folder.path() + L"\\rev dir\\notpe.exe";
    ASSERT_TRUE(writeNotAProgram(file));
    ProbeReports reports;
    std::wstring text = file + L" an argument";
    Output output = call(module.commandLine, text);
    std::string what = inQuotes(utf8(text));
    ASSERT_TRUE(isFailureLine(output.err, what, ERROR_BAD_EXE_FORMAT)) << output.err;
    std::string message = output.err.substr(("StartUtil: cannot start " + what).size());
    EXPECT_NE(message.find(inQuotes(utf8(file))), std::string::npos) << message;
    EXPECT_EQ(reports.waitFor(0).size(), 0u);
}

// CreateProcessW takes 32,767 units with the terminator. The longest such line starts the
// program with the whole of its last argument; one unit more starts nothing and is reported as
// too long, whatever the system would have made of it. A path counts with its two quotes.
TEST_F(Launch, CommandLineBeyondTheSystemLimitStartsNothing) {
    std::wstring head = inQuotes(probePath()) + L" ";
    std::wstring longest = head + std::wstring(32766 - head.size(), L'a');
    {
        ProbeReports reports;
        Output output = call(module.commandLine, longest);
        EXPECT_EQ(output.err, "");
        std::vector<ProbeReport> started = reports.waitFor(1);
        ASSERT_EQ(started.size(), 1u);
        EXPECT_EQ(argvOf(started[0]).at(1).size(), 32766 - head.size());
    }
    struct Case {
        NativeMethod method;
        std::wstring text;
    } cases[] = {
        {module.commandLine, longest + L"a"},
        {module.programPath, probePath() + std::wstring(32765 - probePath().size(), L'a')},
    };
    ProbeReports reports;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.size());
        Output output = call(c.method, c.text);
        EXPECT_EQ(output.out, utf8(c.text));
        std::string what = inQuotes(utf8(c.text.substr(0, 1000)) + "\xE2\x80\xA6") + " (" +
                           std::to_string(c.text.size()) + " characters)";
        EXPECT_TRUE(isFailureLine(output.err, what, ERROR_FILENAME_EXCED_RANGE)) << output.err;
    }
    EXPECT_EQ(reports.waitFor(0).size(), 0u);
}

// The child keeps the caller's environment and current directory, has no console window, and
// gets none of the caller's handles, not even one marked inheritable.
TEST_F(Launch, ChildKeepsEnvironmentAndDirectoryButInheritsNoHandle) {
    std::wstring eventName = L"startutil-event-" + std::to_wstring(GetCurrentProcessId());
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE event = CreateEventW(&inheritable, TRUE, FALSE, eventName.c_str());
    ASSERT_NE(event, nullptr);
    std::unique_ptr<void, decltype(&CloseHandle)> owner(event, &CloseHandle);
    wchar_t value[32];
    swprintf(value, 32, L"%llx",
             static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(event)));
    ScopedEnvironment handle(L"STARTUTIL_PROBE_HANDLE", value);
    ScopedEnvironment name(L"STARTUTIL_PROBE_HANDLE_NAME", eventName);
    std::wstring marker = L"marker \u00e9 " + std::to_wstring(GetTickCount64());
    ScopedEnvironment markerVariable(L"STARTUTIL_PROBE_MARKER", marker);
    wchar_t directory[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, directory);

    for (NativeMethod method : {module.programPath, module.commandLine}) {
        ProbeReports reports;
        call(method, method == module.programPath ? probePath() : inQuotes(probePath()));
        std::vector<ProbeReport> started = reports.waitFor(1);
        ASSERT_EQ(started.size(), 1u);
        EXPECT_EQ(started[0].at("marker"), utf8(marker));
        EXPECT_EQ(started[0].at("cwd"), utf8(directory));
        EXPECT_NE(started[0].at("handle"), "inherited");
        EXPECT_NE(started[0].at("handle"), "open");
        EXPECT_EQ(started[0].at("console_window"), "no");
    }

    // The probe does see the handle when a child is started with inheritance: the check above
    // can fail.
    ProbeReports reports;
    std::wstring commandLine = inQuotes(probePath());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(probePath().c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                               CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process));
    CloseHandle(process.hThread);
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 20000), WAIT_OBJECT_0);
    CloseHandle(process.hProcess);
    std::vector<ProbeReport> started = reports.waitFor(1);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].at("handle"), "inherited");
}

// Both handles CreateProcessW returns are closed, whether the launch worked or not.
TEST_F(Launch, LaunchesLeaveNoHandleOpen) {
    ProbeReports reports;
    // One launch first: whatever the first call opens for good (the C runtime's streams, the
    // system's message tables) is not a leak.
    call(module.commandLine, L"startutil-missing.exe");
    int before = openHandleCount();
    ASSERT_GT(before, 0);
    for (int i = 0; i < 4; ++i) {
        call(module.programPath, probePath());
        call(module.commandLine, inQuotes(probePath()));
        call(module.commandLine, L"startutil-missing.exe");
    }
    EXPECT_EQ(reports.waitFor(8).size(), 8u);
    EXPECT_EQ(openHandleCount(), before);
}

// Launches from many threads at once: every child starts, and every echo is whole.
TEST_F(Launch, ConcurrentLaunchesAllStartAndEchoWhole) {
    constexpr int kThreads = 8, kLaunches = 8;
    std::wstring program = inQuotes(probePath()) + L" ";
    ProbeReports reports;
    std::set<std::string> expected;
    for (int t = 0; t < kThreads; ++t) {
        for (int l = 0; l < kLaunches; ++l)
            expected.insert(std::to_string(t) + "-" + std::to_string(l));
    }
    Output output = captureOutput([&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int l = 0; l < kLaunches; ++l) {
                    FakeString string(
                        u16(program + std::to_wstring(t) + L"-" + std::to_wstring(l)));
                    module.commandLine(vm.env(), nullptr, string.handle());
                }
            });
        }
        for (std::thread& thread : threads) thread.join();
    });
    EXPECT_EQ(output.err, "");
    const std::string& echoed = output.out;

    // The echoes, back to back, each the program then one `T-L` argument.
    std::set<std::string> echoes;
    std::string head = utf8(program);
    for (std::size_t at = 0; at < echoed.size();) {
        ASSERT_EQ(echoed.compare(at, head.size(), head), 0)
            << "torn echo at " << at << ": " << echoed;
        std::size_t end = echoed.find('"', at + head.size());
        if (end == std::string::npos) end = echoed.size();
        echoes.insert(echoed.substr(at + head.size(), end - at - head.size()));
        at = end;
    }
    EXPECT_EQ(echoes, expected);

    std::vector<ProbeReport> started = reports.waitFor(expected.size(), std::chrono::seconds(40));
    std::set<std::string> arguments;
    for (const ProbeReport& report : started) arguments.insert(argvOf(report).at(1));
    EXPECT_EQ(arguments, expected);
}

}  // namespace
