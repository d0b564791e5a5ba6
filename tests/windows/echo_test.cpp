// What a call writes: its text on standard output, as UTF-8, whole and at once, and one line on
// standard error when the launch fails. The programs do not exist, so nothing is started.
#include <gtest/gtest.h>

#include <barrier>

#include "launch_harness.h"

namespace {

class Echo : public ::testing::Test {
  protected:
    StartUtilModule module;
    FakeVm vm;
};

// Each echo is out before its call returns (flushed, not left in a buffer), and two calls
// give the two texts back to back with nothing added.
TEST_F(Echo, TwoLaunchesEchoBackToBackAndEachIsOutWhenTheCallReturns) {
    FakeString first(u"C:\\windows\\startutil-missing-1.exe");
    FakeString second(u"startutil-missing-2.exe --flag");
    std::string afterFirst, out, err;
    {
        CapturedStream capturedOut(1);
        CapturedStream capturedErr(2);
        module.programPath(vm.env(), nullptr, first.handle());
        afterFirst = capturedOut.text();
        module.commandLine(vm.env(), nullptr, second.handle());
        out = capturedOut.text();
        err = capturedErr.text();
    }
    EXPECT_EQ(afterFirst, "C:\\windows\\startutil-missing-1.exe");
    EXPECT_EQ(out, "C:\\windows\\startutil-missing-1.exestartutil-missing-2.exe --flag");
    std::size_t lineEnd = err.find('\n');
    ASSERT_NE(lineEnd, std::string::npos) << err;
    EXPECT_TRUE(isFailureLine(err.substr(0, lineEnd + 1),
                              "\"C:\\windows\\startutil-missing-1.exe\"", ERROR_FILE_NOT_FOUND))
        << err;
    EXPECT_TRUE(isFailureLine(err.substr(lineEnd + 1), "\"startutil-missing-2.exe --flag\"",
                              ERROR_FILE_NOT_FOUND))
        << err;
}

// The echo is the text exactly, a line feed as a line feed; the failure line shows each line
// break as a symbol and ends in CR LF, so a text cannot forge a second line.
TEST_F(Echo, TextIsEchoedExactlyAndItsLineBreaksStayInsideTheFailureLine) {
    FakeString forged(u"C:\\windows\\missing\nStartUtil: forged line\r\n");
    Output output = captureOutput([&] { module.programPath(vm.env(), nullptr, forged.handle()); });
    EXPECT_EQ(output.out, "C:\\windows\\missing\nStartUtil: forged line\r\n");
    EXPECT_TRUE(isFailureLine(
        output.err, "\"C:\\windows\\missing\u240aStartUtil: forged line\u240d\u240a\"", -1))
        << output.err;
}

// Output follows the standard handles as they are at the call: a host that points them
// elsewhere after the C runtime has started (SetStdHandle, as services do for their logs) gets
// the echo and the failure line there, not where the C runtime's streams still point.
TEST_F(Echo, GoesToTheStandardHandlesAsTheyAreAtTheCall) {
    FakeString string(u"C:\\windows\\startutil-missing-3.exe");
    std::string runtimeOut, runtimeErr, out, err;
    {
        CapturedStream capturedOut(1);
        CapturedStream capturedErr(2);
        RedirectedHandle handleOut(STD_OUTPUT_HANDLE);
        RedirectedHandle handleErr(STD_ERROR_HANDLE);
        module.programPath(vm.env(), nullptr, string.handle());
        std::fflush(stdout);
        std::fflush(stderr);
        runtimeOut = capturedOut.text();
        runtimeErr = capturedErr.text();
        out = handleOut.text();
        err = handleErr.text();
    }
    EXPECT_EQ(out, "C:\\windows\\startutil-missing-3.exe");
    EXPECT_TRUE(
        isFailureLine(err, "\"C:\\windows\\startutil-missing-3.exe\"", ERROR_FILE_NOT_FOUND))
        << err;
    EXPECT_EQ(runtimeOut, "");
    EXPECT_EQ(runtimeErr, "");
}

// Each echo and each failure line is written whole: concurrent calls do not tear each other's,
// and neither does another writer that writes to the same handle directly (as the JVM's
// System.out does, past the C runtime) while they run.
TEST_F(Echo, ConcurrentLongEchoesAreNotTornByEachOtherOrAnotherWriter) {
    constexpr int kThreads = 4;
    constexpr int kOtherWriters = 3;
    constexpr int kRounds = 20;
    auto textOf = [](int thread) {
        return u"C:\\missing\\" + std::u16string(5000, char16_t(u'a' + thread));
    };
    std::string out, err;
    {
        CapturedStream capturedOut(1);
        CapturedStream capturedErr(2);
        std::atomic<bool> done{false};
        // The other writers are writing before the echoes begin.
        std::barrier start(kThreads + kOtherWriters);
        std::vector<std::thread> others;
        for (int w = 0; w < kOtherWriters; ++w) {
            others.emplace_back([&] {
                auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(1));
                DWORD written = 0;
                WriteFile(handle, "|", 1, &written, nullptr);
                start.arrive_and_wait();
                for (int i = 0; i < 1000000 && !done; ++i) {
                    WriteFile(handle, "|", 1, &written, nullptr);
                }
            });
        }
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                FakeVm threadVm;
                start.arrive_and_wait();
                for (int round = 0; round < kRounds; ++round) {
                    FakeString string(textOf(t));
                    module.programPath(threadVm.env(), nullptr, string.handle());
                }
            });
        }
        for (std::thread& thread : threads) thread.join();
        done = true;
        for (std::thread& other : others) other.join();
        out = capturedOut.text();
        err = capturedErr.text();
    }
    for (int t = 0; t < kThreads; ++t) {
        std::u16string text = textOf(t);
        std::string echo = utf8(std::wstring(text.begin(), text.end()));
        std::size_t whole = 0;
        for (std::size_t at = out.find(echo); at != std::string::npos;
             at = out.find(echo, at + 1)) {
            ++whole;
        }
        EXPECT_EQ(whole, std::size_t(kRounds)) << "echoes of thread " << t << " kept whole";
    }
    std::size_t lines = 0;
    for (std::size_t from = 0; from < err.size(); ++lines) {
        std::size_t end = std::min(err.find("\r\n", from), err.size() - 2) + 2;
        std::string line = err.substr(from, end - from);
        std::string letters(989, line.size() > 36 ? line[36] : '?');
        std::string what =
            inQuotes("C:\\missing\\" + letters + "\xE2\x80\xA6") + " (5011 characters)";
        EXPECT_TRUE(isFailureLine(line, what, -1)) << line.substr(0, 200);
        from = end;
    }
    EXPECT_EQ(lines, std::size_t(kThreads * kRounds));
}

// Polls `done` until it holds or ten seconds have gone by; whether it held.
template <typename Condition>
bool withinTenSeconds(Condition done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Standard output a pipe that nobody reads, an echo too long for it inside its write: calls
// that write to standard error alone (no command; an empty text, whose echo is empty) are not
// held up by it, and their lines are there before the pipe is read.
TEST_F(Echo, StandardErrorIsNotHeldUpByABlockedStandardOutput) {
    const std::u16string text = u"C:\\missing\\" + std::u16string(1 << 20, u'o');
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 4096));
    HANDLE savedOut = GetStdHandle(STD_OUTPUT_HANDLE);
    std::atomic<bool> echoed{false};
    std::atomic<int> returned{0};
    bool blocked = false, nullReturned = false, emptyReturned = false;
    std::string err;
    std::size_t drained = 0;
    {
        RedirectedHandle handleErr(STD_ERROR_HANDLE);
        SetStdHandle(STD_OUTPUT_HANDLE, writeEnd);
        std::thread echo([&] {
            FakeVm threadVm;
            FakeString string(text);
            module.programPath(threadVm.env(), nullptr, string.handle());
            echoed = true;
        });
        auto queued = [readEnd] {
            DWORD bytes = 0;
            return PeekNamedPipe(readEnd, nullptr, 0, nullptr, &bytes, nullptr) ? bytes : 0;
        };
        blocked = withinTenSeconds([&] { return queued() > 0; }) && !echoed;
        std::thread errorOnly([&] {
            FakeVm threadVm;
            FakeString empty(u"");
            module.programPath(threadVm.env(), nullptr, nullptr);
            ++returned;
            module.programPath(threadVm.env(), nullptr, empty.handle());
            ++returned;
        });
        nullReturned = blocked && withinTenSeconds([&] { return returned >= 1; });
        emptyReturned = nullReturned && withinTenSeconds([&] { return returned >= 2; });
        err = handleErr.text();
        withinTenSeconds([&] {
            char buffer[1 << 16];
            DWORD size = 0;
            if (DWORD bytes = queued(); bytes > 0) {
                ReadFile(readEnd, buffer, std::min<DWORD>(bytes, sizeof buffer), &size, nullptr);
            }
            drained += size;
            return size == 0 && echoed;
        });
        echo.join();
        errorOnly.join();
        SetStdHandle(STD_OUTPUT_HANDLE, savedOut);
    }
    CloseHandle(readEnd);
    CloseHandle(writeEnd);
    ASSERT_TRUE(blocked) << "the echo did not block in its write";
    EXPECT_TRUE(nullReturned) << "a call with no command waited for standard output";
    EXPECT_TRUE(emptyReturned) << "an empty echo waited for standard output";
    EXPECT_EQ(drained, text.size());
    std::size_t lineEnd = err.find("\r\n");
    ASSERT_NE(lineEnd, std::string::npos) << err;
    EXPECT_TRUE(isFailureLine(err.substr(0, lineEnd + 2), "(no command)", ERROR_INVALID_PARAMETER))
        << err;
    EXPECT_TRUE(isFailureLine(err.substr(lineEnd + 2), "\"\"", -1)) << err;
    EXPECT_NE(err.find(": the command is blank ("), std::string::npos) << err;
}

// The echo and the failure line carry the same UTF-8; a lone surrogate becomes U+FFFD.
TEST_F(Echo, TextIsWrittenAsUtf8InTheEchoAndTheFailureLine) {
    struct Case {
        std::u16string text;
        std::string utf8;
    } cases[] = {
        {u"C:\\windows\\missing-\u00e9\u65e5\U0001F600.exe",
         "C:\\windows\\missing-\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80.exe"},
        {u"C:\\windows\\missing-\xD800-\xDC00.exe",
         "C:\\windows\\missing-\xef\xbf\xbd-\xef\xbf\xbd.exe"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.utf8);
        for (NativeMethod method : {module.programPath, module.commandLine}) {
            FakeString string(c.text);
            Output output = captureOutput([&] { method(vm.env(), nullptr, string.handle()); });
            EXPECT_EQ(output.out, c.utf8);
            // Wine and Windows may not agree on the code for a name that is not valid UTF-16.
            EXPECT_TRUE(isFailureLine(output.err, inQuotes(c.utf8), -1)) << output.err;
            EXPECT_EQ(string.releases, 1);
        }
    }
}

// On a console the echo and the failure line go as UTF-16, so the console shows the characters
// whatever its code page; UTF-8 bytes would be shown as the code page reads them (`é` as
// `├⌐`). Elsewhere (the tests above: files) they stay UTF-8 bytes. Run on a terminal.
using EchoOnAConsole = Echo;
TEST_F(EchoOnAConsole, TextIsShownAsItsCharacters) {
    std::wstring text = L"C:\\windows\\missing-\u00e9\u65e5-\ufffd.exe";
    std::wstring lineStart = L"StartUtil: cannot start \"" + text + L"\": ";
    for (NativeMethod method : {module.programPath, module.commandLine}) {
        // A lone surrogate goes out as U+FFFD, as it does to a file.
        FakeString string(u"C:\\windows\\missing-\u00e9\u65e5-\xD800.exe");
        std::wstring out, err;
        {
            ConsoleScreen screenOut(1);
            ConsoleScreen screenErr(2);
            method(vm.env(), nullptr, string.handle());
            out = screenOut.cells(text.size());
            err = screenErr.cells(lineStart.size());
        }
        EXPECT_EQ(out, text);
        EXPECT_EQ(err, lineStart);
    }
}

// Concurrent echoes longer than a console write takes at once come out whole, each in one
// run of its own cells.
TEST_F(EchoOnAConsole, ConcurrentLongEchoesAreNotTorn) {
    constexpr int kThreads = 4;
    constexpr std::size_t kUnits = 9000;
    std::wstring cells;
    {
        ConsoleScreen screenOut(1, COORD{200, 200});
        ConsoleScreen screenErr(2);
        std::barrier start(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                FakeVm threadVm;
                FakeString string(std::u16string(kUnits, char16_t(u'a' + t)));
                start.arrive_and_wait();
                module.programPath(threadVm.env(), nullptr, string.handle());
            });
        }
        for (std::thread& thread : threads) thread.join();
        cells = screenOut.cells(kThreads * kUnits);
    }
    ASSERT_EQ(cells.size(), kThreads * kUnits);
    for (std::size_t run = 0; run < kThreads; ++run) {
        std::wstring_view piece(cells.data() + run * kUnits, kUnits);
        EXPECT_EQ(piece.find_first_not_of(piece.front()), std::wstring_view::npos)
            << "run " << run << " is torn";
    }
}

}  // namespace
