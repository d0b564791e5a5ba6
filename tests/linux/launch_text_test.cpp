// What a text starts: the program it names, how PATH is searched, and how each bad text fails.
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>

#include "launch_harness.h"

namespace {

// A directory holding the probe's copies, files that must not run, and the reports.
class ProgramFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(bin() / "denied");
        fs::create_directory(reports());
        copyProbe(bin() / "found");
        copyProbe(bin() / "denied" / "found");
        fs::permissions(bin() / "denied" / "found", fs::perms::owner_read | fs::perms::owner_write);
        std::ofstream(bin() / "script") << "touch \"" << marker().string() << "\"\n";
        fs::permissions(bin() / "script", fs::perms::owner_all);
    }
    fs::path bin() const { return scratch_.path() / "bin"; }
    fs::path reports() const { return scratch_.path() / "reports"; }
    fs::path marker() const { return scratch_.path() / "ran-by-a-shell"; }

    ScratchDirectory scratch_;
    ScopedEnvironment reportDirectory_{"STARTUTIL_PROBE_DIR", reports()};
};

struct Failure {
    const char* behaviour;
    LaunchMode mode;
    std::optional<std::u16string> text;  // none: an absent text
    int error;
    std::string shown;              // the text as the echo shows it
    std::string inLine;             // as the failure line shows it: controls as Control Pictures
    const char* message = nullptr;  // none: the system's for the error
};

using LaunchFailure = ProgramFixture;

TEST_F(LaunchFailure, EachBadTextStartsNothingAndIsReportedInOneLine) {
    const char* kBlank = "the command is blank";
    std::string bin = this->bin().string();
    std::string probe = probePath();
    const Failure cases[] = {
        {"absent path", LaunchMode::ProgramPath, std::nullopt, EINVAL, "", ""},
        {"absent line", LaunchMode::CommandLine, std::nullopt, EINVAL, "", ""},
        {"empty path", LaunchMode::ProgramPath, u"", ENOENT, "", "", kBlank},
        {"empty line", LaunchMode::CommandLine, u"", ENOENT, "", "", kBlank},
        {"white space", LaunchMode::CommandLine, u" \t ", ENOENT, " \t ", " \xE2\x90\x89 ", kBlank},
        {"a path of white space may name a file", LaunchMode::ProgramPath, u" ", ENOENT, " ", " "},
        {"line breaks cannot forge a line", LaunchMode::ProgramPath,
         u"/nowhere\nStartUtil: forged line\r\n\x1b[2J", ENOENT,
         "/nowhere\nStartUtil: forged line\r\n\x1b[2J",
         "/nowhere\xE2\x90\x8AStartUtil: forged line\xE2\x90\x8D\xE2\x90\x8A\xE2\x90\x9B[2J"},
        {"quoted empty program", LaunchMode::CommandLine, u"\"\" a", ENOENT, "\"\" a", "\"\" a"},
        {"lone surrogate", LaunchMode::ProgramPath, u"/nowhere/\xD800", ENOENT,
         "/nowhere/\xef\xbf\xbd", "/nowhere/\xef\xbf\xbd"},
        {"directory", LaunchMode::ProgramPath, widen(bin), EACCES, bin, bin},
        {"no execute bit", LaunchMode::ProgramPath, widen(bin + "/denied/found"), EACCES,
         bin + "/denied/found", bin + "/denied/found"},
        {"no #! line, no shell", LaunchMode::CommandLine, widen(bin + "/script"), ENOEXEC,
         bin + "/script", bin + "/script"},
        {"no #! line, no shell", LaunchMode::ProgramPath, widen(bin + "/script"), ENOEXEC,
         bin + "/script", bin + "/script"},
        {"bare name not on PATH", LaunchMode::CommandLine, u"startutil-nowhere-to-be-found", ENOENT,
         "startutil-nowhere-to-be-found", "startutil-nowhere-to-be-found"},
        {"a path is not searched", LaunchMode::ProgramPath, u"found", ENOENT, "found", "found"},
        {"arguments beyond the system's limit", LaunchMode::CommandLine,
         widen(probe + " " + std::string(4 << 20, 'a')), E2BIG,
         probe + " " + std::string(4 << 20, 'a'), probe + " " + std::string(4 << 20, 'a')},
    };
    ScopedEnvironment path("PATH", bin + ":/usr/bin:/bin");
    for (const Failure& c : cases) {
        SCOPED_TRACE(c.behaviour);
        CapturedOutput output(scratch_.path());
        errno = EDOM;
        if (c.text) {
            launch(c.mode, *c.text);
        } else {
            invokeNonBlocking(c.mode, nullptr);
        }
        int errnoAfter = errno;
        output.restore();

        EXPECT_EQ(errnoAfter, EDOM) << "the caller's errno changed";

        // A long text is quoted only in part (the long cases are ASCII: a unit is a byte).
        std::string named = !c.text ? "(no command)"
                            : c.text->size() <= 1000
                                ? "\"" + c.inLine + "\""
                                : "\"" + c.inLine.substr(0, 1000) + "\xE2\x80\xA6\" (" +
                                      std::to_string(c.text->size()) + " characters)";
        EXPECT_EQ(output.stdoutText(), c.shown);
        std::string message = c.message != nullptr ? c.message : std::strerror(c.error);
        EXPECT_EQ(output.stderrText(), "StartUtil: cannot start " + named + ": " + message +
                                           " (error " + std::to_string(c.error) + ")\n");
        EXPECT_TRUE(childrenOfThisProcess().empty());
    }
    EXPECT_TRUE(reportFiles(reports()).empty()) << "a failed launch started a probe";
    EXPECT_FALSE(fs::exists(marker())) << "a shell ran the file without #!";
}

struct Start {
    const char* behaviour;
    std::u16string text;
    std::optional<std::string> path;  // PATH for the call; none: the test's own
    bool fromBin;                     // run from bin, where found is, rather than above it
    std::string argv0;
};

using ProgramSearch = ProgramFixture;

TEST_F(ProgramSearch, FindsTheProgramAsExecvpDoesAndPassesTheTokenAsArgvZero) {
    std::string bin = this->bin().string();
    const Start cases[] = {
        {"found on PATH", u"found", bin, false, "found"},
        {"denied candidate skipped", u"found", bin + "/denied:" + bin, false, "found"},
        {"element too long for a directory skipped", u"found",
         "/" + std::string(PATH_MAX, 'x') + ":" + bin, false, "found"},
        {"a slash makes it a path", u"bin/found", "/nowhere", false, "bin/found"},
        {"empty element is the working directory", u"found", "/nowhere::" + bin + "/denied", true,
         "found"},
        {"unterminated quote runs to the end", widen("\"" + bin + "/found"), std::nullopt, false,
         bin + "/found"},
        {"text ends at a NUL", widen(bin + "/found") + std::u16string(1, u'\0') + u"x",
         std::nullopt, false, bin + "/found"},
    };
    std::string oldDirectory = fs::current_path();
    for (const Start& c : cases) {
        SCOPED_TRACE(c.behaviour);
        fs::current_path(c.fromBin ? this->bin() : scratch_.path());
        std::optional<ScopedEnvironment> path;
        if (c.path) path.emplace("PATH", *c.path);
        CapturedOutput output(scratch_.path());
        launch(LaunchMode::CommandLine, c.text);
        output.restore();
        fs::current_path(oldDirectory);

        EXPECT_EQ(output.stderrText(), "");
        std::vector<ProbeReport> started = awaitReports(reports(), 1);
        ASSERT_EQ(started.size(), 1u);
        EXPECT_EQ(started[0]["argv.0"], c.argv0);
        EXPECT_EQ(started[0]["argc"], "1");
        fs::remove(reportFiles(reports()).at(0));
    }
}

// A later missing candidate does not hide the earlier permission failure.
TEST_F(ProgramSearch, ReportsPermissionDeniedWhenOnlyADeniedCandidateExists) {
    ScopedEnvironment path("PATH", (bin() / "denied").string() + ":/nowhere");
    CapturedOutput output(scratch_.path());
    launch(LaunchMode::CommandLine, u"found");
    output.restore();
    EXPECT_EQ(output.stderrText(), "StartUtil: cannot start \"found\": " +
                                       std::string(std::strerror(EACCES)) + " (error 13)\n");
}

}  // namespace
