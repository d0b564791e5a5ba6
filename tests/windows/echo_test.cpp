// What a call writes: its text on standard output, as UTF-8, whole and at once, and one line on
// standard error when the launch fails. The programs do not exist, so nothing is started.
#include <gtest/gtest.h>

#include "probe_reports.h"

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
    std::wstring text = L"C:\\windows\\missing-\u00e9\u65e5.exe";
    std::wstring lineStart = L"StartUtil: cannot start \"" + text + L"\": ";
    for (NativeMethod method : {module.programPath, module.commandLine}) {
        FakeString string(u16(text));
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

}  // namespace
