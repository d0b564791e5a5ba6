// The JNI side of StartUtil.dll, loaded as the VM loads it and called through a fake JNIEnv
// whose strings sit unterminated in read-only memory.
#include <gtest/gtest.h>

#include "launch_harness.h"

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
        std::vector<ProbeReport> started = reports.waitFor(1);
        ASSERT_EQ(started.size(), 1u);
        EXPECT_EQ(argvOf(started[0]), c.argv);
    }
}

// A text holding U+0000 starts nothing, though the part before it names a program: the system
// would see only that part, not what the caller may have checked. The echo shows that part.
TEST_F(Bindings, TextWithANulStartsNothing) {
    std::wstring probe = probePath();
    struct Case {
        NativeMethod method;
        std::wstring before;
    } cases[] = {
        {module.programPath, probe},
        {module.commandLine, inQuotes(probe) + L" kept"},
    };
    ProbeReports reports;
    for (const Case& c : cases) {
        SCOPED_TRACE(utf8(c.before));
        std::u16string text = u16(c.before) + std::u16string(1, u'\0') + u" dropped";
        FakeString string(text);
        Output output = captureOutput([&] { c.method(vm.env(), nullptr, string.handle()); });
        EXPECT_EQ(output.out, utf8(c.before));
        EXPECT_EQ(output.err, "StartUtil: cannot start \"" + utf8(c.before) +
                                  "\xE2\x90\x80 dropped\": the text holds a NUL character (error "
                                  "87)\r\n");
        EXPECT_EQ(string.releases, 1);
    }
    EXPECT_EQ(reports.waitFor(0).size(), 0u);
}

// A null string is no command; a VM that hands out no characters is out of memory, and the line
// gives the string's length. Neither echoes or starts anything, and nothing is released that
// was not handed out.
TEST_F(Bindings, NullStringIsNoCommandAndAStringWithoutCharsIsOutOfMemory) {
    for (NativeMethod method : {module.programPath, module.commandLine}) {
        FakeString noChars(u"C:\\never.exe", true);
        Output null = captureOutput([&] { method(vm.env(), nullptr, nullptr); });
        Output none = captureOutput([&] { method(vm.env(), nullptr, noChars.handle()); });
        EXPECT_EQ(null.out, "");
        EXPECT_TRUE(isFailureLine(null.err, "(no command)", ERROR_INVALID_PARAMETER)) << null.err;
        EXPECT_EQ(none.out, "");
        EXPECT_TRUE(
            isFailureLine(none.err, "(a command of 12 characters)", ERROR_NOT_ENOUGH_MEMORY))
            << none.err;
        EXPECT_EQ(noChars.gets, 1);
        EXPECT_EQ(noChars.releases, 0);
    }
}

// The jar's own class asks for the outcome: nothing is written, the pid is the created process's,
// and a failure comes back as its one line (with no line end) and the system's code. A class that
// declares the natives alone gets the echo and the line, with no exception left pending.
TEST_F(Bindings, TheOutcomeGoesToTheClassThatAsksAndNothingIsWritten) {
    std::wstring probe = probePath();
    FakeVm jar(true);
    jar.jni().quiet = JNI_TRUE;
    ProbeReports reports;
    FakeString program(u16(inQuotes(probe) + L" one"));
    Output started =
        captureOutput([&] { module.commandLine(jar.env(), nullptr, program.handle()); });
    EXPECT_EQ(started.out + started.err, "");
    EXPECT_EQ(jar.jni().outcomes, 1);
    EXPECT_EQ(jar.jni().lineSize, -1);
    std::vector<ProbeReport> report = reports.waitFor(1);
    ASSERT_EQ(report.size(), 1u);
    EXPECT_EQ(report[0].at("pid"), std::to_string(jar.jni().pid));
    EXPECT_EQ(argvOf(report[0]), (std::vector<std::string>{utf8(probe), "one"}));

    FakeString missing(u"C:\\startutil\\nowhere.exe");
    Output failed =
        captureOutput([&] { module.programPath(jar.env(), nullptr, missing.handle()); });
    EXPECT_EQ(failed.out + failed.err, "");
    EXPECT_EQ(jar.jni().outcomes, 2);
    EXPECT_EQ(jar.jni().pid, 0);
    EXPECT_TRUE(isFailureLine(jar.failureLine() + "\r\n", "\"C:\\startutil\\nowhere.exe\"",
                              static_cast<long>(jar.jni().code)))
        << jar.failureLine();
    EXPECT_TRUE(jar.jni().code == ERROR_FILE_NOT_FOUND || jar.jni().code == ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(jar.jni().pending, 0);

    FakeVm dropIn(false);
    Output written =
        captureOutput([&] { module.programPath(dropIn.env(), nullptr, missing.handle()); });
    EXPECT_EQ(written.out, "C:\\startutil\\nowhere.exe");
    EXPECT_EQ(written.err, jar.failureLine() + "\r\n");
    EXPECT_EQ(dropIn.jni().outcomes, 0);
    EXPECT_EQ(dropIn.jni().pending, 0);
    EXPECT_EQ(reports.waitFor(1).size(), 1u);
}

}  // namespace
