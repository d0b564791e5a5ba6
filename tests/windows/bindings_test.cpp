// The JNI side of StartUtil.dll, loaded as the VM loads it and called through a fake JNIEnv
// whose strings sit unterminated in read-only memory.
#include <gtest/gtest.h>

#include "probe_reports.h"

namespace {

class Bindings : public ::testing::Test {
  protected:
    StartUtilModule module;
    FakeVm vm;
};

TEST_F(Bindings, OrdinalsOneAndTwoAreTheProgramPathAndCommandLineMethods) {
    ASSERT_NE(module.programPath, nullptr);
    ASSERT_NE(module.commandLine, nullptr);
    EXPECT_EQ(module.byOrdinal(1), module.programPath);
    EXPECT_EQ(module.byOrdinal(2), module.commandLine);
    EXPECT_EQ(module.byOrdinal(3), nullptr);
}

// The launch works though the characters are read-only and have no terminator after them: the
// library reads exactly `length` characters into a copy of its own, and gives them back once.
TEST_F(Bindings, LaunchesFromAPrivateCopyAndReleasesTheCharsOnce) {
    std::wstring probe = probePath();
    struct Case {
        NativeMethod method;
        std::wstring text;
        std::vector<std::string> argv;
    } cases[] = {
        {module.programPath, probe, {utf8(probe)}},
        {module.commandLine, inQuotes(probe) + L" one", {utf8(probe), "one"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(utf8(c.text));
        ProbeReports reports;
        FakeString string(u16(c.text));
        Output output = captureOutput([&] { c.method(vm.env(), nullptr, string.handle()); });
        EXPECT_EQ(output.out, utf8(c.text));
        EXPECT_EQ(output.err, "");
        EXPECT_EQ(string.gets, 1);
        EXPECT_EQ(string.releases, 1);
        EXPECT_EQ(string.foreignReleases, 0);
        std::vector<Report> started = reports.waitFor(1);
        ASSERT_EQ(started.size(), 1u);
        EXPECT_EQ(argvOf(started[0]), c.argv);
    }
}

// The text ends at its first NUL, though the VM counts the characters after it.
TEST_F(Bindings, TextEndsAtAnEmbeddedNul) {
    std::wstring probe = probePath();
    struct Case {
        NativeMethod method;
        std::wstring before;
        std::vector<std::string> argv;
    } cases[] = {
        {module.programPath, probe, {utf8(probe)}},
        {module.commandLine, inQuotes(probe) + L" kept", {utf8(probe), "kept"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(utf8(c.before));
        ProbeReports reports;
        std::u16string text = u16(c.before) + std::u16string(1, u'\0') + u" dropped";
        FakeString string(text);
        Output output = captureOutput([&] { c.method(vm.env(), nullptr, string.handle()); });
        EXPECT_EQ(output.out, utf8(c.before));
        EXPECT_EQ(string.releases, 1);
        std::vector<Report> started = reports.waitFor(1);
        ASSERT_EQ(started.size(), 1u);
        EXPECT_EQ(argvOf(started[0]), c.argv);
    }
}

// A null string, and a VM that hands out no characters, are both an absent text: nothing is
// echoed, nothing starts, one failure line, and nothing is released that was not handed out.
TEST_F(Bindings, AbsentTextEchoesNothingAndReportsNoCommand) {
    for (NativeMethod method : {module.programPath, module.commandLine}) {
        FakeString noChars(u"C:\\never.exe", true);
        for (jstring string : {jstring(nullptr), noChars.handle()}) {
            Output output = captureOutput([&] { method(vm.env(), nullptr, string); });
            EXPECT_EQ(output.out, "");
            EXPECT_TRUE(isFailureLine(output.err, "(no command)", 87)) << output.err;
        }
        EXPECT_EQ(noChars.gets, 1);
        EXPECT_EQ(noChars.releases, 0);
    }
}

}  // namespace
